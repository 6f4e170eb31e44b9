#include "panel/SettingsView.h"

#include "common/Constants.h"
#include "hosted/TrustedOrigins.h"
#include "model/TovrikAppModel.h"
#include "overlay/views/GaussianBlur.h"
#include "panel/AuthenticationSection.h"
#include "panel/PermissionSection.h"
#include "panel/SettingsPages.h"
#include "panel/ReadySection.h"
#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/Symbols.h"

#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace tovrik::panel {

// The dot (6 x 6, glowing) and the status word in the accent colour.
class StatusCluster : public QWidget {
public:
    explicit StatusCluster(QWidget* parent) : QWidget(parent)
    {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(5);
        m_dot = new QWidget(this);
        m_dot->setFixedSize(6, 6);
        layout->addWidget(m_dot, 0, Qt::AlignVCenter);
        m_word = new PanelText(QString(), this);
        m_word->setPanelFont(11, FontWeight::Medium);
        m_word->setColor(constants::cursorGuideBaseColor);
        m_word->setMaxLines(1);
        m_word->setFixedToIdealWidth(true);
        layout->addWidget(m_word, 0, Qt::AlignVCenter);
    }
    void setWord(const QString& word)
    {
        m_word->setText(word);
        adjustSize();
    }
    QRect dotRect() const { return m_dot->geometry(); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF dot = QRectF(m_dot->geometry());
        // Glow: the accent at 0.78, blurred 6.
        if (m_glow.isNull() || !qFuzzyCompare(m_glow.devicePixelRatio(), devicePixelRatioF())) {
            QPainterPath circle;
            circle.addEllipse(QRectF(0, 0, 6, 6));
            m_glow = overlay::blurredShapeImage(circle, withOpacity(constants::cursorGuideBaseColor, 0.78), 6,
                                                devicePixelRatioF());
        }
        const double margin = overlay::blurMargin(6);
        p.drawImage(dot.topLeft() - QPointF(margin, margin), m_glow);
        p.setBrush(constants::cursorGuideBaseColor);
        p.setPen(Qt::NoPen);
        p.drawEllipse(dot);
    }

private:
    QWidget* m_dot;
    PanelText* m_word;
    QImage m_glow;
};

namespace {

// A 1-point separator line of `height`, centred in a 17-point frame.
class HeaderSeparator : public QWidget {
public:
    HeaderSeparator(int height, QWidget* parent) : QWidget(parent), m_height(height) { setFixedSize(17, height); }
    void setLineHeight(int h)
    {
        m_height = h;
        setFixedSize(17, h);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(QRectF(8, 0, 1, m_height), whiteAt(0.075));
    }

private:
    int m_height;
};

// "‹ Back": chevron.left (11 semibold) and "Back" (12 medium) in grey 176,
// 6 points of padding, 28 high, rounded hover 7 / 0.07.
class BackButton : public QAbstractButton {
public:
    explicit BackButton(QWidget* parent) : QAbstractButton(parent)
    {
        setFocusPolicy(Qt::NoFocus);
        setText(QStringLiteral("Back"));
        setAccessibleName(QStringLiteral("Back"));
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(6, 0, 6, 0);
        layout->setSpacing(4);
        layout->addWidget(new SymbolView(QStringLiteral("chevron.left"), 11, FontWeight::Semibold, grey(176), this), 0,
                          Qt::AlignVCenter);
        auto* text = new PanelText(QStringLiteral("Back"), this);
        text->setPanelFont(12, FontWeight::Medium);
        text->setColor(grey(176));
        text->setFixedToIdealWidth(true);
        layout->addWidget(text, 0, Qt::AlignVCenter);
        setFixedHeight(28);
        roundedHoverHighlight(this, 7, 0.07);
    }

protected:
    void paintEvent(QPaintEvent*) override {}
};

} // namespace

SettingsView::SettingsView(TovrikAppModel* model, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent), m_model(model), m_onClose(std::move(onClose))
{
    setAttribute(Qt::WA_TranslucentBackground);
    m_header = new QWidget(this);
    m_mark = new TovrikMarkView(m_header);
    m_mark->setFixedSize(26, 26);
    m_name = new PanelText(constants::appDisplayName, m_header);
    m_name->setPanelFont(13, FontWeight::Semibold);
    m_name->setColor(grey(242));
    m_name->setFixedToIdealWidth(true);
    m_separator = new HeaderSeparator(12, m_header);
    m_cluster = new StatusCluster(m_header);
    m_plainWord = new PanelText(QString(), m_header);
    m_plainWord->setPanelFont(12, FontWeight::Bold);
    m_plainWord->setColor(grey(242));
    m_plainWord->setFixedToIdealWidth(true);
    m_gear = new HeaderIconButton(QStringLiteral("gearshape"), QStringLiteral("Settings"), [this]() {
        if (m_model)
            m_model->showAdvancedSettings();
    }, m_header);
    m_close = new HeaderIconButton(QStringLiteral("xmark"), QStringLiteral("Close"), [this]() {
        if (m_onClose)
            m_onClose();
    }, m_header);
    auto* back = new BackButton(m_header);
    connect(back, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->showMainScreen();
    });
    m_back = back;
    m_pageTitle = new PanelText(QString(), m_header);
    m_pageTitle->setPanelFont(12, FontWeight::Semibold);
    m_pageTitle->setColor(grey(242));
    m_pageTitle->setFixedToIdealWidth(true);

    m_content = new QWidget(this);
    m_ready = new ReadySection(model, m_content);
    m_auth = new AuthenticationSection(model, m_content);
    m_permission = new PermissionSection(model, m_content);
    m_full = new AdvancedSection(model, true, m_content);
    m_setup = new AdvancedSection(model, false, m_content);
    m_voice = new VoiceSection(model, m_content);
    m_shortcut = new ShortcutSection(model, m_content);

    if (model)
        connect(model, &TovrikAppModel::changed, this, &SettingsView::refresh);
    connect(&m_permissionTimer, &ClockTimer::timeout, this, &SettingsView::onRefreshTick);
    refresh();
}

SettingsView::Screen SettingsView::screenFor(const TovrikAppModel& model)
{
    if (model.isShowingAdvancedSettings()) {
        if (model.isShowingShortcutSettings())
            return Screen::Shortcut;
        if (model.isShowingVoiceSettings())
            return Screen::Voice;
        return model.isAppReady() ? Screen::FullAdvanced : Screen::Setup;
    }
    if (model.requiresAuthentication())
        return Screen::Authentication;
    if (model.requiresPermissionGrant())
        return Screen::Permission;
    return Screen::Ready;
}

QWidget* SettingsView::currentScreenWidget() const
{
    switch (m_screen) {
    case Screen::Ready: return m_ready;
    case Screen::Authentication: return m_auth;
    case Screen::Permission: return m_permission;
    case Screen::FullAdvanced: return m_full;
    case Screen::Setup: return m_setup;
    case Screen::Voice: return m_voice;
    case Screen::Shortcut: return m_shortcut;
    }
    return m_ready;
}

bool SettingsView::isStatusDotVisible() const { return m_cluster->isVisibleTo(const_cast<SettingsView*>(this)); }

bool SettingsView::isPlainStatusWordVisible() const
{
    return m_plainWord->isVisibleTo(const_cast<SettingsView*>(this));
}

QString SettingsView::headerTitleText() const
{
    return m_model && m_model->isShowingAdvancedSettings() ? m_pageTitle->text() : m_name->text();
}

QSize SettingsView::sizeHint() const
{
    if (!m_model)
        return QSize(int(constants::readyPanelWidth), int(constants::menuPanelHeight));
    const QSizeF s = m_model->preferredPanelSize() * constants::panelDisplayScale;
    return QSize(int(std::lround(s.width())), int(std::lround(s.height())));
}

void SettingsView::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    m_screen = screenFor(model);
    const bool advanced = model.isShowingAdvancedSettings();
    const bool ready = model.isAppReady();
    const QString word = model.headerStatusText();
    const bool active = word == QStringLiteral("Active");

    m_mark->setVisible(!advanced);
    m_name->setVisible(!advanced);
    m_gear->setVisible(!advanced);
    m_back->setVisible(advanced);
    m_pageTitle->setVisible(advanced);
    m_pageTitle->setText(model.settingsPanelTitle());
    bool showCluster = false;
    bool showPlain = false;
    if (!advanced) {
        showCluster = ready && !active;
        showPlain = !ready;
    } else {
        const bool subpage = model.isShowingShortcutSettings() || model.isShowingVoiceSettings();
        const bool statusItem = !subpage && !(ready && active);
        showCluster = statusItem && ready;
        showPlain = statusItem && !ready;
    }
    m_separator->setVisible(advanced || showCluster);
    static_cast<HeaderSeparator*>(m_separator)->setLineHeight(advanced ? 10 : 12);
    m_cluster->setVisible(showCluster);
    m_cluster->setWord(word);
    m_plainWord->setVisible(showPlain);
    m_plainWord->setText(word);

    QWidget* shown = currentScreenWidget();
    for (QWidget* screen : m_content->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        screen->setVisible(screen == shown);
    switch (m_screen) {
    case Screen::Ready: m_ready->refresh(); break;
    case Screen::Authentication: m_auth->refresh(); break;
    case Screen::Permission: m_permission->refresh(); break;
    case Screen::FullAdvanced: m_full->refresh(); break;
    case Screen::Setup: m_setup->refresh(); break;
    case Screen::Voice: m_voice->refresh(); break;
    case Screen::Shortcut: m_shortcut->refresh(); break;
    }

    const QSize size = sizeHint();
    if (!parentWidget() || !layout())
        resize(size);
    updateGeometry();
    layoutHeader();
    layoutContent();
    // Nothing more to repaint: each part repaints what its own change
    // touches (a whole-card repaint here redrew every row and chip at each
    // change the model publishes, a status line every autopilot step).
}

void SettingsView::layoutHeader()
{
    const int W = width();
    const int H = int(constants::settingsPanelHeaderHeight);
    m_header->setGeometry(0, 0, W, H);
    auto centreY = [H](int h, int shift = 0) { return (H - h) / 2 + shift; };
    auto hint = [](QWidget* w) { return w->sizeHint(); };

    // Right side first: the close button ends both variants (12 trailing).
    int right = W - 12;
    right -= 28;
    m_close->setGeometry(right, centreY(28), 28, 28);
    const bool advanced = m_model && m_model->isShowingAdvancedSettings();
    if (!advanced) {
        right -= 28;
        m_gear->setGeometry(right, centreY(28), 28, 28);
        if (m_plainWord->isVisibleTo(this)) {
            const QSize s = hint(m_plainWord);
            right -= 5 + s.width();
            m_plainWord->setGeometry(right, centreY(14), s.width(), 14);
        }
        int x = 14;
        m_mark->setGeometry(x - 2, centreY(26), 26, 26);
        x += 26 - 1;
        x += 8;
        const QSize nameSize = hint(m_name);
        m_name->setGeometry(x, centreY(nameSize.height()), nameSize.width(), nameSize.height());
        x += nameSize.width();
        if (m_cluster->isVisibleTo(this)) {
            m_separator->setGeometry(x, centreY(12, 1), 17, 12);
            x += 17;
            const QSize c = hint(m_cluster);
            m_cluster->setGeometry(x, centreY(c.height(), 1), c.width(), c.height());
        }
    } else {
        if (m_cluster->isVisibleTo(this)) {
            const QSize c = hint(m_cluster);
            right -= 8 + c.width();
            m_cluster->setGeometry(right, centreY(c.height(), 1), c.width(), c.height());
        } else if (m_plainWord->isVisibleTo(this)) {
            const QSize s = hint(m_plainWord);
            right -= 8 + s.width();
            m_plainWord->setGeometry(right, centreY(14), s.width(), 14);
        }
        int x = 14;
        const QSize b = m_back->sizeHint();
        m_back->setGeometry(x, centreY(28), b.width(), 28);
        x += b.width();
        m_separator->setGeometry(x, centreY(10, 1), 17, 10);
        x += 17;
        const QSize t = hint(m_pageTitle);
        m_pageTitle->setGeometry(x, centreY(16), t.width(), 16);
    }
}

void SettingsView::layoutContent()
{
    const int W = width();
    const int H = height();
    const int top = 52;
    const int h = std::max(0, H - top);
    m_content->setGeometry(0, top, W, h);
    const bool advanced = m_model && m_model->isShowingAdvancedSettings();
    // The settings pages are padded 10 at the top, 12 at the sides and 14 at
    // the bottom.
    const QRect inner = advanced ? QRect(12, 10, std::max(0, W - 24), std::max(0, h - 10 - 14)) : QRect(0, 0, W, h);
    for (QWidget* screen : m_content->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        screen->setGeometry(inner);
}

void SettingsView::resizeEvent(QResizeEvent*)
{
    layoutHeader();
    layoutContent();
}

void SettingsView::showEvent(QShowEvent*)
{
    if (m_model)
        m_model->refreshPermissions();
    if (!m_permissionTimer.isActive())
        m_permissionTimer.start(permissionRefreshInterval, true);
}

void SettingsView::hideEvent(QHideEvent*)
{
    // Nobody sees the flags while the panel is hidden; showing it again
    // refreshes them at once.
    m_permissionTimer.stop();
}

void SettingsView::onRefreshTick()
{
    if (!m_model)
        return;
    if (m_model->isHostedAccountSignedIn() && normalizedTrustedHostedWorkerBaseURL(m_model->settings().workerBaseURL))
        m_model->refreshPermissions();
}

void SettingsView::paintEvent(QPaintEvent* event)
{
    // The card is the same at every paint of one size: it is drawn once and
    // copied where a change (a status line, a button) asks for a repaint.
    const double dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (m_card.size() != pixels || m_card.devicePixelRatio() != dpr) {
        m_card = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_card.setDevicePixelRatio(dpr);
        m_card.fill(Qt::transparent);
        QPainter card(&m_card);
        paintCard(card, QSizeF(size()));
    }
    QPainter p(this);
    for (const QRect& r : event->region())
        p.drawImage(QRectF(r), m_card, QRectF(QPointF(r.topLeft()) * dpr, QSizeF(r.size()) * dpr));
}

void SettingsView::paintCard(QPainter& p, QSizeF size)
{
    p.setRenderHint(QPainter::Antialiasing);
    const double R = constants::panelChromeCornerRadius;
    const QRectF card(QPointF(0, 0), size);
    QPainterPath shape;
    shape.addRoundedRect(card, R, R);
    p.setClipPath(shape);
    QLinearGradient fill(card.topLeft(), card.bottomLeft());
    fill.setColorAt(0.0, grey(32));
    fill.setColorAt(0.48, grey(23));
    fill.setColorAt(1.0, grey(18));
    p.fillPath(shape, fill);
    // The header divider.
    p.fillRect(QRectF(0, constants::settingsPanelHeaderHeight, card.width(), 1), whiteAt(0.075));
    // Three hairlines: the outer gradient band, a dark band inside it, a light one inside that.
    auto band = [&](double inset, double radius, const QBrush& brush) {
        QPainterPath ring;
        ring.addRoundedRect(card.adjusted(inset + 0.5, inset + 0.5, -inset - 0.5, -inset - 0.5), radius, radius);
        QPen pen(brush, 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        pen.setMiterLimit(10);
        p.strokePath(ring, pen);
    };
    QLinearGradient outer(card.topLeft(), card.bottomLeft());
    outer.setColorAt(0.0, whiteAt(0.22));
    outer.setColorAt(0.5, whiteAt(0.12));
    outer.setColorAt(1.0, whiteAt(0.07));
    band(0, R, outer);
    band(1, R, blackAt(0.42));
    band(2, R - 1, whiteAt(12.0 / 255.0));
}

} // namespace tovrik::panel
