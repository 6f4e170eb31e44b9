#include "panel/PermissionSection.h"

#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "panel/ReadySection.h"
#include "panel/kit/Controls.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace tovrik::panel {

namespace {

// The 34 x 34 badge: the accent at 0.22 in a circle under the step's symbol.
class StepBadge : public QWidget {
public:
    explicit StepBadge(QWidget* parent) : QWidget(parent) { setFixedSize(34, 34); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(withOpacity(constants::turquoiseAccent(), 0.22));
        p.drawEllipse(QRectF(rect()));
    }
};

QString symbolFor(std::optional<PermissionSetupStep> step)
{
    switch (step.value_or(PermissionSetupStep::accessibility)) {
    case PermissionSetupStep::microphone:
        return QStringLiteral("mic.fill");
    case PermissionSetupStep::screenRecording:
        return QStringLiteral("rectangle.on.rectangle");
    case PermissionSetupStep::accessibility:
        return QStringLiteral("figure.stand");
    }
    return {};
}

QWidget* inset(QWidget* child, QWidget* parent)
{
    auto* box = new QWidget(parent);
    auto* l = new QVBoxLayout(box);
    l->setContentsMargins(16, 0, 16, 0);
    child->setParent(box);
    l->addWidget(child);
    return box;
}

} // namespace

PermissionSection::PermissionSection(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 12, 0, 14);
    column->setSpacing(12);

    // 1. The badge and the step indicator.
    auto* stepRow = new QWidget(this);
    auto* stepLayout = new QHBoxLayout(stepRow);
    stepLayout->setContentsMargins(0, 0, 0, 0);
    stepLayout->setSpacing(12);
    auto* badge = new StepBadge(stepRow);
    auto* badgeLayout = new QHBoxLayout(badge);
    badgeLayout->setContentsMargins(0, 0, 0, 0);
    m_symbol = new SymbolView(QStringLiteral("mic.fill"), 16, FontWeight::Bold, constants::turquoiseAccent(), badge);
    badgeLayout->addWidget(m_symbol, 0, Qt::AlignCenter);
    stepLayout->addWidget(badge, 0, Qt::AlignVCenter);
    stepLayout->addStretch(1);
    m_indicator = new PermissionStepIndicator(1, 3, stepRow);
    stepLayout->addWidget(m_indicator, 0, Qt::AlignVCenter);
    column->addWidget(inset(stepRow, this));

    // 2. Title and instruction, with the buttons on the instruction's last line.
    auto* textRow = new QWidget(this);
    auto* textLayout = new QHBoxLayout(textRow);
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->setSpacing(0);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(8);
    m_title = new PanelText(QString(), textRow);
    m_title->setPanelFont(17, FontWeight::Bold);
    m_title->setColor(Qt::white);
    m_title->setMaxLines(1);
    m_title->setMinimumScaleFactor(0.72);
    texts->addWidget(m_title);
    m_instruction = new PanelText(QString(), textRow);
    m_instruction->setPanelFont(12, FontWeight::Semibold);
    m_instruction->setColor(whiteAt(0.58));
    m_instruction->setMaxLines(2);
    m_instruction->setMinimumScaleFactor(0.9);
    texts->addWidget(m_instruction);
    textLayout->addLayout(texts, 1);
    textLayout->addSpacing(10);
    // The buttons sit on the bottom line of the instruction.
    auto* buttonColumn = new QVBoxLayout;
    buttonColumn->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttonColumn->addLayout(buttons);
    m_skip = new StyledButton(ButtonStyle::CompactSecondary, QStringLiteral("Skip"), textRow);
    connect(m_skip, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->skipCurrentOptionalPermission();
    });
    m_action = new StyledButton(ButtonStyle::Permission, QString(), textRow);
    connect(m_action, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->performCurrentPermissionAction();
    });
    buttons->addWidget(m_skip, 0, Qt::AlignRight | Qt::AlignVCenter);
    buttons->addWidget(m_action, 0, Qt::AlignRight | Qt::AlignVCenter);
    m_buttons = buttons;
    textLayout->addLayout(buttonColumn);
    column->addWidget(inset(textRow, this));

    // 3. The ask card under a divider that spans the panel from edge to edge.
    m_divider = new QWidget(this);
    auto* dividerLayout = new QVBoxLayout(m_divider);
    dividerLayout->setContentsMargins(0, 2, 0, 0);
    dividerLayout->addWidget(new DividerLine(m_divider));
    column->addWidget(m_divider);
    m_askCard = new AskCard(model, this);
    column->addWidget(inset(m_askCard, this));
    column->addStretch(1);
    refresh();
}

void PermissionSection::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    const auto step = model.activePermissionStep();
    const bool busy = model.isCurrentPermissionBusy();
    m_symbol->setSymbol(symbolFor(step));
    m_indicator->setSteps(model.activePermissionStepNumber(), 3);
    m_title->setText(model.activePermissionTitle());
    m_instruction->setText(model.activePermissionSubtitle());
    m_skip->setVisible(step == PermissionSetupStep::microphone);
    m_skip->setEnabled(!busy);
    m_action->setTitle(model.activePermissionActionTitle());
    m_action->setEnabled(!busy);
    const bool chat = model.canUseChatOnly();
    m_divider->setVisible(chat);
    m_askCard->parentWidget()->setVisible(chat);
    if (chat)
        m_askCard->refresh();
    fitButtons();
}

bool PermissionSection::buttonsStacked() const { return m_buttons->direction() == QBoxLayout::TopToBottom; }

void PermissionSection::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitButtons();
}

// Beside the texts the two buttons of the microphone step can leave the
// title and the instruction too little room even at their smallest sizes
// (with a wide system font); they then stand one above the other, so that no
// text is cut.
void PermissionSection::fitButtons()
{
    const int textWidth = width() - 32 - 10;
    const bool skip = !m_skip->isHidden();
    const int beside = m_action->sizeHint().width() + (skip ? m_skip->sizeHint().width() + 8 : 0);
    const int room = textWidth - beside;
    const QFontMetricsF title(panelFont(17 * 0.72, FontWeight::Bold));
    const QFontMetricsF line(panelFont(12 * 0.9, FontWeight::Semibold));
    const QRectF lines = line.boundingRect(QRectF(0, 0, std::max(room, 1), 1e6), Qt::TextWordWrap,
                                           m_instruction->text());
    const bool fits = room > 0 && title.horizontalAdvance(m_title->text()) <= room
                   && lines.height() <= 2 * line.height() + 0.5;
    const auto direction = fits || !skip ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (m_buttons->direction() != direction)
        m_buttons->setDirection(direction);
}

} // namespace tovrik::panel
