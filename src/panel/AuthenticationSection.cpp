#include "panel/AuthenticationSection.h"

#include "common/Constants.h"
#include "model/TovrikAppModel.h"
#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/TextInputs.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tovrik::panel {

namespace {
PanelText* makeStatusLine(QWidget* parent)
{
    auto* status = new PanelText(QString(), parent);
    status->setPanelFont(12, FontWeight::Semibold);
    status->setColor(whiteAt(0.68));
    status->setMaxLines(2);
    status->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return status;
}
} // namespace

AuthenticationSection::AuthenticationSection(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // 1. Greeting.
    auto* greeting = new QWidget(this);
    auto* greetingLayout = new QVBoxLayout(greeting);
    greetingLayout->setContentsMargins(16, 12, 16, 12);
    greetingLayout->setSpacing(6);
    m_title = new PanelText(tr("Hi, I'm ") + constants::appDisplayName + QStringLiteral("."), greeting);
    m_title->setPanelFont(17, FontWeight::Bold);
    m_title->setColor(grey(242));
    greetingLayout->addWidget(m_title);
    auto* subtitle =
        new PanelText(QStringLiteral("Sign in, then I will walk you through the desktop permissions."), greeting);
    subtitle->setPanelFont(12, FontWeight::Semibold);
    subtitle->setColor(grey(119));
    greetingLayout->addWidget(subtitle);
    column->addWidget(greeting);
    column->addWidget(new DividerLine(this));

    // 3. Actions.
    auto* actions = new QWidget(this);
    auto* actionsLayout = new QVBoxLayout(actions);
    actionsLayout->setContentsMargins(16, 12, 16, 14);
    actionsLayout->setSpacing(8);
    m_google = new StyledButton(ButtonStyle::Google, new GooglePrimaryLabel, actions);
    m_google->setAccessibleName(QStringLiteral("Sign in with Google"));
    connect(m_google, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->continueWithGoogleSignIn();
    });
    actionsLayout->addWidget(m_google);
    m_emailLabel = new EmailPrimaryLabel(false);
    m_emailToggle = new StyledButton(ButtonStyle::WideSecondary, m_emailLabel, actions);
    m_emailToggle->setAccessibleName(QStringLiteral("Sign in with email"));
    connect(m_emailToggle, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->setHostedEmailAuthVisible(!m_model->isHostedEmailAuthVisible());
    });
    actionsLayout->addWidget(m_emailToggle);

    // The email form.
    m_form = new QWidget(actions);
    auto* formLayout = new QVBoxLayout(m_form);
    formLayout->setContentsMargins(0, 0, 0, 0);
    formLayout->setSpacing(8);
    auto* inputs = new QVBoxLayout;
    inputs->setSpacing(7);
    m_email = new AccountTextInput(QStringLiteral("Email"), false, m_form);
    m_email->onEdited = [this](const QString& text) {
        if (m_model)
            m_model->setHostedAuthEmailInput(text);
    };
    m_password = new AccountSecureInput(QStringLiteral("Password"), m_form);
    m_password->onEdited = [this](const QString& text) {
        if (m_model)
            m_model->setHostedAuthPasswordInput(text);
    };
    inputs->addWidget(m_email);
    inputs->addWidget(m_password);
    formLayout->addLayout(inputs);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_signIn = new StyledButton(ButtonStyle::Primary, tr("Sign in"), m_form);
    connect(m_signIn, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->signInHostedAccount();
    });
    m_create = new StyledButton(ButtonStyle::Secondary, tr("Create account"), m_form);
    connect(m_create, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->createHostedAccount();
    });
    buttons->addWidget(m_signIn);
    buttons->addWidget(m_create);
    buttons->addStretch(1);
    formLayout->addLayout(buttons);
    m_formStatus = makeStatusLine(m_form);
    formLayout->addWidget(m_formStatus);
    actionsLayout->addWidget(m_form);
    m_status = makeStatusLine(actions);
    actionsLayout->addWidget(m_status);
    // After the keyring could not be read: read it again (it may ask the
    // user to unlock it).
    m_retryKeyring = new StyledButton(ButtonStyle::Secondary, tr("Try again"), actions);
    connect(m_retryKeyring, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->retryKeychainRead();
    });
    auto* retryRow = new QHBoxLayout;
    retryRow->addWidget(m_retryKeyring);
    retryRow->addStretch(1);
    actionsLayout->addLayout(retryRow);
    column->addWidget(actions);
    column->addStretch(1);
    refresh();
}

void AuthenticationSection::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    m_google->setEnabled(model.hasValidWorkerBaseURL());
    const bool formOpen = model.isHostedEmailAuthVisible();
    m_emailLabel->setExpanded(formOpen);
    m_form->setVisible(formOpen);
    m_email->setText(model.hostedAuthEmailInput());
    m_password->setText(model.hostedAuthPasswordInput());
    m_signIn->setEnabled(!model.isHostedAuthBusy());
    m_create->setEnabled(!model.isHostedAuthBusy());
    const bool hasStatus = model.hasHostedAuthStatusMessage();
    m_formStatus->setText(model.hostedAuthStatusMessage());
    m_status->setText(model.hostedAuthStatusMessage());
    m_formStatus->setVisible(formOpen && hasStatus);
    m_status->setVisible(!formOpen && hasStatus);
    m_retryKeyring->setVisible(model.settingsLoadBlockedByKeychain());
}

PanelText* AuthenticationSection::visibleStatusLine() const
{
    if (m_formStatus->isVisibleTo(const_cast<AuthenticationSection*>(this)))
        return m_formStatus;
    if (m_status->isVisibleTo(const_cast<AuthenticationSection*>(this)))
        return m_status;
    return nullptr;
}

} // namespace tovrik::panel
