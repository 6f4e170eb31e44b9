#include "panel/SettingsPages.h"

#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "overlay/OverlayWindowController.h"
#include "panel/kit/Controls.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/SettingsRows.h"
#include "panel/kit/Symbols.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace tovrik::panel {

namespace {

PanelText* label(const QString& text, double points, FontWeight weight, QColor color, int maxLines, QWidget* parent)
{
    auto* l = new PanelText(text, parent);
    l->setPanelFont(points, weight);
    l->setColor(color);
    l->setMaxLines(maxLines);
    return l;
}

// A group of rows: white 0.04 on a rounded-8 card with a white 0.075 edge.
class GroupCard : public QWidget {
public:
    explicit GroupCard(QWidget* parent) : QWidget(parent)
    {
        m_layout = new QVBoxLayout(this);
        m_layout->setContentsMargins(0, 0, 0, 0);
        m_layout->setSpacing(0);
    }
    // Rows of one card are separated by a divider 14 short of both edges.
    void addRow(QWidget* row, bool divider = true)
    {
        if (divider && m_layout->count() > 0) {
            auto* line = new QWidget(this);
            auto* l = new QHBoxLayout(line);
            l->setContentsMargins(14, 0, 14, 0);
            l->addWidget(new SettingsDividerLine(line));
            m_layout->addWidget(line);
        }
        m_layout->addWidget(row);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintRoundedCard(p, QRectF(rect()), 8, whiteAt(0.04), whiteAt(0.075));
    }

private:
    QVBoxLayout* m_layout;
};

QString joinedParts(const ShortcutGesture& gesture) { return gesture.displayParts().join(QStringLiteral(" + ")); }

// The "Reset to defaults" button of the shortcut page.
class ResetButton : public QAbstractButton {
public:
    explicit ResetButton(QWidget* parent) : QAbstractButton(parent)
    {
        setFocusPolicy(Qt::NoFocus);
        setText(QStringLiteral("Reset to defaults"));
        setAccessibleName(QStringLiteral("Reset shortcuts to defaults"));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(14, 11, 14, 11);
        row->setSpacing(9);
        row->addWidget(new SymbolView(QStringLiteral("arrow.counterclockwise"), 13, FontWeight::Semibold,
                                      whiteAt(0.78), this),
                       0, Qt::AlignVCenter);
        auto* text = label(QStringLiteral("Reset to defaults"), 12.5, FontWeight::Semibold, whiteAt(0.78), 1, this);
        row->addWidget(text, 1, Qt::AlignVCenter);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        roundedHoverHighlight(this, 10, 0.06);
    }

protected:
    QPainterPath shape() const
    {
        QPainterPath s;
        s.addRoundedRect(QRectF(rect()), 10, 10);
        return s;
    }
    bool hitButton(const QPoint& pos) const override { return shape().contains(QPointF(pos) + QPointF(0.5, 0.5)); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QPainterPath s = shape();
        p.setClipPath(s);
        p.fillPath(s, withOpacity(constants::panelSurface(), 0.7));
        p.setPen(QPen(whiteAt(0.09), 1));
        p.drawPath(s);
    }
};

// A page heading: the section label over its explanation, 4 in from the sides.
QWidget* heading(const QString& title, const QString& text, QWidget* parent)
{
    auto* box = new QWidget(parent);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(4, 0, 4, 0);
    column->setSpacing(6);
    column->addWidget(new PanelSectionLabel(title, box));
    column->addWidget(label(text, 11, FontWeight::Medium, whiteAt(0.34), 2, box));
    return box;
}

QVBoxLayout* pageColumn(QWidget* page, int spacing)
{
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    return column;
}

} // namespace

QWidget* makeVersionFooter(QWidget* parent)
{
    auto* box = new QWidget(parent);
    auto* l = new QVBoxLayout(box);
    l->setContentsMargins(14, int(constants::settingsVersionFooterTopPadding), 12, 0);
    auto* footer = label(QStringLiteral("Version ") + constants::appDisplayVersion, 10, FontWeight::Medium,
                         whiteAt(0.3), 1, box);
    footer->setObjectName(QStringLiteral("versionFooter"));
    l->addWidget(footer);
    return box;
}

QString shortcutSummary(const TovrikAppModel& model)
{
    return joinedParts(model.voiceShortcut()) + QStringLiteral(" / ") + joinedParts(model.panelShortcut());
}

void checkForUpdatesFromRow(TovrikAppModel& model)
{
    if (!model.isUpdateCheckBusy())
        model.checkForUpdates();
}

// ---- AdvancedSection ----

AdvancedSection::AdvancedSection(TovrikAppModel* model, bool full, QWidget* parent)
    : QWidget(parent), m_model(model), m_full(full)
{
    auto* column = pageColumn(this, 7);
    auto saveSwitch = [this](bool TovrikSettings::*field) {
        return [this, field](bool on) {
            if (!m_model)
                return;
            TovrikSettings copy = m_model->settings();
            copy.*field = on;
            m_model->saveSettings(copy);
            if (field == &TovrikSettings::keepResponseBubbleVisibleUntilDismissed && !on
                && m_model->overlayController())
                m_model->overlayController()->dismissResponseBubble();
        };
    };
    auto menuRow = [this](const QString& title, auto action, bool destructive = false) {
        return new SettingsMenuRow(std::nullopt, title, std::nullopt, destructive, [this, action]() {
            if (m_model)
                action(*m_model);
        });
    };
    if (full) {
        auto* a = new GroupCard(this);
        a->addRow(new SettingsToggleRow(std::nullopt, QStringLiteral("UI autopilot"),
                                        QStringLiteral("Looks at your screen, then clicks, types, and scrolls."), false,
                                        [this](bool on) {
                                            if (m_model)
                                                m_model->setUIAutopilotEnabled(on);
                                        }));
        a->addRow(new SettingsToggleRow(std::nullopt, QStringLiteral("Keep reply bubble"),
                                        QStringLiteral("Dismiss replies with the next click."), false,
                                        saveSwitch(&TovrikSettings::keepResponseBubbleVisibleUntilDismissed)));
        a->addRow(new SettingsToggleRow(std::nullopt, QStringLiteral("Hide cursor when idle"),
                                        QStringLiteral("Show it only while listening, replying, or pointing."), false,
                                        saveSwitch(&TovrikSettings::isTransientCursorModeEnabled)));
        column->addWidget(a);
        auto* b = new GroupCard(this);
        b->addRow(menuRow(QStringLiteral("Voice"), [](TovrikAppModel& m) { m.showVoiceSettings(); }));
        b->addRow(new SettingsToggleRow(std::nullopt, QStringLiteral("Text only"),
                                        QStringLiteral("Skip reading replies aloud."), false,
                                        saveSwitch(&TovrikSettings::isSilentModeEnabled)));
        column->addWidget(b);
        auto* c = new GroupCard(this);
        c->addRow(menuRow(QStringLiteral("Shortcuts"), [](TovrikAppModel& m) { m.showShortcutSettings(); }));
        column->addWidget(c);
        auto* d = new GroupCard(this);
        d->addRow(menuRow(QStringLiteral("Buy credits"), [](TovrikAppModel& m) { m.openHostedAccountPage(); }));
        d->addRow(menuRow(QStringLiteral("Sign out"), [](TovrikAppModel& m) { m.signOutHostedAccount(); }));
        column->addWidget(d);
    }
    auto* e = new GroupCard(this);
    e->addRow(menuRow(QStringLiteral("Check for updates"), [](TovrikAppModel& m) { checkForUpdatesFromRow(m); }));
    auto* statusBox = new QWidget(e);
    auto* statusLayout = new QVBoxLayout(statusBox);
    statusLayout->setContentsMargins(14, 0, 14, 10);
    m_updateStatus = label(QString(), 11, FontWeight::Medium, whiteAt(0.4), 2, statusBox);
    statusLayout->addWidget(m_updateStatus);
    e->addRow(statusBox, false);
    column->addWidget(e);
    auto* f = new GroupCard(this);
    f->addRow(menuRow(QStringLiteral("Quit ") + constants::appDisplayName, [](TovrikAppModel& m) { m.quit(); }, true));
    column->addWidget(f);
    column->addWidget(makeVersionFooter(this));
    column->addStretch(1);
    refresh();
}

SettingsToggleRow* AdvancedSection::toggle(const QString& title) const
{
    for (auto* t : findChildren<SettingsToggleRow*>())
        if (t->text() == title)
            return t;
    return nullptr;
}

SettingsMenuRow* AdvancedSection::row(const QString& title) const
{
    for (auto* r : findChildren<SettingsMenuRow*>())
        if (r->text() == title)
            return r;
    return nullptr;
}

void AdvancedSection::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    // One test for showing the label and for the room the panel makes for
    // it: a message of only spaces neither shows nor adds height.
    // A settings save that failed here is told in the same line.
    const QString& status =
        isBlank(model.settingsStatusMessage()) ? model.updateStatusMessage() : model.settingsStatusMessage();
    m_updateStatus->setText(status);
    m_updateStatus->parentWidget()->setVisible(!isBlank(status));
    if (!m_full)
        return;
    const TovrikSettings& s = model.settings();
    toggle(QStringLiteral("UI autopilot"))->setOn(s.isUIAutopilotEnabled);
    toggle(QStringLiteral("Keep reply bubble"))->setOn(s.keepResponseBubbleVisibleUntilDismissed);
    toggle(QStringLiteral("Hide cursor when idle"))->setOn(s.isTransientCursorModeEnabled);
    toggle(QStringLiteral("Text only"))->setOn(s.isSilentModeEnabled);
    row(QStringLiteral("Voice"))->setSubtitle(model.selectedElevenLabsVoiceLabel());
    row(QStringLiteral("Shortcuts"))->setSubtitle(shortcutSummary(model));
    row(QStringLiteral("Buy credits"))->setSubtitle(model.hostedCreditsBalanceValue() + QStringLiteral(" credits remaining"));
    row(QStringLiteral("Sign out"))->setSubtitle(s.hostedAccountEmail.trimmed());
}

// ---- VoiceSection ----

VoiceSection::VoiceSection(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = pageColumn(this, 0);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    const QList<VoiceMenuOption> options = model ? model->voiceMenuOptions() : QList<VoiceMenuOption>();
    for (int i = 0; i < options.size(); ++i) {
        const QString id = options[i].id;
        auto* card = new VoiceOptionCard(options[i], [this, id]() {
            if (m_model)
                m_model->previewElevenLabsVoice(id);
        }, this);
        card->setMinimumWidth(10);
        grid->addWidget(card, i / 2, i % 2);
        m_cards << card;
    }
    column->addLayout(grid);
    auto* statusBox = new QWidget(this);
    auto* statusLayout = new QVBoxLayout(statusBox);
    statusLayout->setContentsMargins(0, 8, 0, 0);
    m_status = label(QString(), 11, FontWeight::Medium, whiteAt(0.42), 2, statusBox);
    statusLayout->addWidget(m_status);
    column->addWidget(statusBox);
    column->addWidget(makeVersionFooter(this));
    column->addStretch(1);
    refresh();
}

void VoiceSection::refresh()
{
    if (!m_model)
        return;
    const QList<VoiceMenuOption> options = m_model->voiceMenuOptions();
    for (int i = 0; i < options.size() && i < m_cards.size(); ++i)
        m_cards[i]->setOption(options[i]);
    m_status->setText(m_model->voicePreviewStatusMessage());
    m_status->parentWidget()->setVisible(m_model->hasVoicePreviewStatusMessage());
}

// ---- ShortcutSection ----

ShortcutSection::ShortcutSection(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = pageColumn(this, 0);
    column->addWidget(heading(QStringLiteral("Push to talk"),
                              QStringLiteral("Hold to start a voice session. Release to send."), this));
    column->addSpacing(8);
    m_voiceRow = new ShortcutCaptureRow({}, QStringLiteral("Change"), [this]() {
        if (m_model)
            m_model->beginVoiceShortcutCapture();
    }, this);
    column->addWidget(m_voiceRow);
    column->addSpacing(18);
    column->addWidget(heading(QStringLiteral("Menu"),
                              QStringLiteral("Press to open the ") + constants::appDisplayName + QStringLiteral(" menu."),
                              this));
    column->addSpacing(8);
    m_menuRow = new ShortcutCaptureRow({}, QStringLiteral("Change"), [this]() {
        if (m_model)
            m_model->beginPanelShortcutCapture();
    }, this);
    column->addWidget(m_menuRow);
    m_statusBox = new QWidget(this);
    auto* statusLayout = new QVBoxLayout(m_statusBox);
    statusLayout->setContentsMargins(4, 10, 4, 0);
    m_status = label(QString(), 11, FontWeight::Medium, whiteAt(0.42), 2, m_statusBox);
    statusLayout->addWidget(m_status);
    column->addWidget(m_statusBox);
    column->addSpacing(17);
    auto* reset = new ResetButton(this);
    connect(reset, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->resetShortcutsToDefaults();
    });
    m_reset = reset;
    column->addWidget(reset);
    column->addWidget(makeVersionFooter(this));
    column->addStretch(1);
    refresh();
}

void ShortcutSection::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    const auto title = [&](ShortcutCaptureTarget target) {
        return model.shortcutCaptureTarget() == target ? QStringLiteral("Listening") : QStringLiteral("Change");
    };
    m_voiceRow->setKeys(model.voiceShortcut().displayParts());
    m_voiceRow->setButtonTitle(title(ShortcutCaptureTarget::voice));
    m_menuRow->setKeys(model.panelShortcut().displayParts());
    m_menuRow->setButtonTitle(title(ShortcutCaptureTarget::panel));
    m_status->setText(model.shortcutCaptureStatusMessage());
    m_statusBox->setVisible(model.hasShortcutCaptureStatusMessage());
}

} // namespace tovrik::panel
