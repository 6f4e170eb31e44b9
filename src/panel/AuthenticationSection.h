#pragma once

#include <QPointer>
#include <QWidget>

namespace tovrik {
class TovrikAppModel;
}

namespace tovrik::panel {

class AccountTextInput;
class EmailPrimaryLabel;
class PanelText;
class StyledButton;

// The sign-in screen: the greeting, "Sign in with Google", the email toggle,
// then either the email form (inputs, "Sign in", "Create account" and the
// status line) or the status line alone.
class AuthenticationSection : public QWidget {
    Q_OBJECT
public:
    explicit AuthenticationSection(TovrikAppModel* model, QWidget* parent = nullptr);
    void refresh();

    PanelText* title() const { return m_title; }
    StyledButton* googleButton() const { return m_google; }
    StyledButton* emailToggle() const { return m_emailToggle; }
    EmailPrimaryLabel* emailToggleLabel() const { return m_emailLabel; }
    QWidget* emailForm() const { return m_form; }
    AccountTextInput* emailInput() const { return m_email; }
    AccountTextInput* passwordInput() const { return m_password; }
    StyledButton* signInButton() const { return m_signIn; }
    StyledButton* createAccountButton() const { return m_create; }
    // "Try again", shown while the keyring could not be read.
    StyledButton* retryKeyringButton() const { return m_retryKeyring; }
    // The status line that is showing (inside the form or under the toggle),
    // or null when no status line exists.
    PanelText* visibleStatusLine() const;

private:
    QPointer<TovrikAppModel> m_model;
    PanelText* m_title;
    StyledButton* m_google;
    StyledButton* m_emailToggle;
    EmailPrimaryLabel* m_emailLabel;
    QWidget* m_form;
    AccountTextInput* m_email;
    AccountTextInput* m_password;
    StyledButton* m_signIn;
    StyledButton* m_create;
    PanelText* m_formStatus;
    PanelText* m_status;
    StyledButton* m_retryKeyring;
};

} // namespace tovrik::panel
