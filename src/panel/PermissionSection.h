#pragma once

#include <QBoxLayout>
#include <QPointer>
#include <QWidget>

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class AskCard;
class PanelText;
class PermissionStepIndicator;
class StyledButton;
class SymbolView;

// The permission onboarding screen: the step's badge and "n of 3", the
// model's title and instruction line, "Skip" on the optional microphone step
// and the step's action button (both disabled while a request is pending),
// and, once screen content may be captured, the typed-chat ask card.
class PermissionSection : public QWidget {
    Q_OBJECT
public:
    explicit PermissionSection(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();

    SymbolView* badgeSymbol() const { return m_symbol; }
    PermissionStepIndicator* indicator() const { return m_indicator; }
    PanelText* title() const { return m_title; }
    PanelText* instruction() const { return m_instruction; }
    StyledButton* skipButton() const { return m_skip; }
    StyledButton* actionButton() const { return m_action; }
    AskCard* askCard() const { return m_askCard; }
    QWidget* askDivider() const { return m_divider; }
    // Whether "Skip" stands above the action button instead of beside it.
    bool buttonsStacked() const;

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    void fitButtons();
    QPointer<TovrikAppModel> m_model;
    SymbolView* m_symbol;
    PermissionStepIndicator* m_indicator;
    PanelText* m_title;
    PanelText* m_instruction;
    StyledButton* m_skip;
    StyledButton* m_action;
    QWidget* m_divider;
    AskCard* m_askCard;
    QBoxLayout* m_buttons;
};

} // namespace tovrik::panel
