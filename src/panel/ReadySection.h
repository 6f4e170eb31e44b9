#pragma once

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class ChatTextInput;
class HeaderIconButton;
class PanelText;
class ShortcutValueRow;
class StyledButton;

// The ready screen: the two shortcuts in force, the typed-chat box with its
// status line and "Ask" button, and the credit balance with refresh and
// "Buy credits". Reads the model and calls its actions; writes only
// chatOnlyInput (through the chat box).
class ReadySection : public QWidget {
    Q_OBJECT
public:
    explicit ReadySection(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();

    ChatTextInput* chatInput() const { return m_chat; }
    StyledButton* askButton() const { return m_ask; }
    PanelText* statusLine() const { return m_status; }
    PanelText* creditsFigure() const { return m_credits; }
    QAbstractButton* refreshButton() const;
    StyledButton* buyCreditsButton() const { return m_buy; }
    ShortcutValueRow* voiceRow() const { return m_voiceRow; }
    ShortcutValueRow* menuRow() const { return m_menuRow; }
    double refreshIconOpacity() const;

private:
    QPointer<TovrikAppModel> m_model;
    ShortcutValueRow* m_voiceRow;
    ShortcutValueRow* m_menuRow;
    ChatTextInput* m_chat;
    PanelText* m_status;
    StyledButton* m_ask;
    PanelText* m_credits;
    QWidget* m_refresh;
    StyledButton* m_buy;
};

// The compact typed-chat card of the permission screen: the chat box sized
// to its 40-point slot beside the "Ask" button, and the status message in
// turquoise (up to 2 lines) while it is not empty.
class AskCard : public QWidget {
    Q_OBJECT
public:
    explicit AskCard(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();
    ChatTextInput* chatInput() const { return m_chat; }
    StyledButton* askButton() const { return m_ask; }
    PanelText* statusLine() const { return m_status; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QPointer<TovrikAppModel> m_model;
    ChatTextInput* m_chat;
    StyledButton* m_ask;
    PanelText* m_status;
};

} // namespace tovrik::panel
