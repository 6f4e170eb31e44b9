#pragma once

// The panel's text inputs. Each binds to a string owned by the caller: every
// edit is reported at once through `onEdited` (the whole text), and a value
// set from outside is written into the field only when it differs, so typing
// is never disturbed. None of them handles Return: pressing it submits
// nothing and changes nothing.

#include <QLineEdit>
#include <QWidget>
#include <functional>

namespace tovrik::panel {

// A borderless single-line field: no frame, no background, system 13
// semibold in grey 242, placeholder grey 176 at 0.62, tail truncation.
class BorderlessChatTextField : public QLineEdit {
    Q_OBJECT
public:
    explicit BorderlessChatTextField(QWidget* parent = nullptr);
    void setPlaceholder(const QString& placeholder);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The typed-chat box: a dark rounded box with the field along its top; a
// click anywhere in the box focuses the field. 78 points high on the ready
// screen; the ask card gives it the height of its slot.
class ChatTextInput : public QWidget {
    Q_OBJECT
public:
    ChatTextInput(const QString& placeholder, double height, QWidget* parent = nullptr);

    // Brings the field in line with the bound value (written only when it differs).
    void setText(const QString& text);
    QString text() const;
    std::function<void(const QString&)> onEdited;
    BorderlessChatTextField* field() const { return m_field; }
    int focusRequest() const { return m_focusRequest; }

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    BorderlessChatTextField* m_field;
    int m_focusRequest = 0;
    int m_handledFocusRequest = 0;
};

// The email and password inputs of the sign-in form: 13 semibold text in
// grey 242 on black 0.24, rounded 9 with a white 0.075 border, at least 36
// high; the placeholder (grey 177 at 0.62) shows only while the text is
// empty and doubles as the accessibility label. The secure one masks its
// characters.
class AccountTextInput : public QWidget {
    Q_OBJECT
public:
    AccountTextInput(const QString& placeholder, bool secure, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;
    bool isPlaceholderVisible() const;
    QLineEdit* field() const { return m_field; }
    std::function<void(const QString&)> onEdited;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLineEdit* m_field;
    QString m_placeholder;
};

// A secure variant named as the sign-in form names it.
class AccountSecureInput : public AccountTextInput {
    Q_OBJECT
public:
    explicit AccountSecureInput(const QString& placeholder, QWidget* parent = nullptr)
        : AccountTextInput(placeholder, true, parent)
    {
    }
};

class PanelText;
class StyledButton;

// A captioned field: the caption (11 semibold, white 0.65) over a row, 6
// apart, of a plain field in the default font, padded 12 by 10 on the panel
// surface, rounded 10 with a white 0.08 border, and, when a paste action is
// given, a "Paste" button in the secondary style 8 to its right. No screen
// places it.
class SettingsField : public QWidget {
    Q_OBJECT
public:
    SettingsField(const QString& title, std::function<void()> pasteAction = nullptr, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;
    std::function<void(const QString&)> onEdited;
    PanelText* caption() const { return m_caption; }
    QLineEdit* field() const { return m_field; }
    // The rounded box around the field.
    QWidget* fieldBox() const { return m_box; }
    // Null without a paste action.
    StyledButton* pasteButton() const { return m_paste; }

private:
    PanelText* m_caption;
    QWidget* m_box;
    QLineEdit* m_field;
    StyledButton* m_paste = nullptr;
};

} // namespace tovrik::panel
