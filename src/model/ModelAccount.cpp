// The hosted account: email sign-in and sign-up, Google sign-in, account
// refreshes with their session epoch and refresh generation, and sign-out
// with background revocation and pending sign-outs.

#include "model/TovrikAppModel.h"

#include "common/Constants.h"
#include "hosted/GoogleDesktopAuthService.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedBackendClient.h"
#include "hosted/TrustedOrigins.h"
#include "interaction/ScreenCaptureService.h"
#include "platform/Platform.h"
#include "settings/SettingsStore.h"

#include <QUrl>

namespace tovrik {

namespace {
const QString kActionSignIn = QStringLiteral("signin");
const QString kActionSignUp = QStringLiteral("signup");

// A token the service no longer knows needs no revocation.
bool isAlreadyRevoked(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HTTPError& e) {
        return e.kind() == HTTPError::Kind::failedStatus && e.statusCode() == 401;
    } catch (...) {
        return false;
    }
}
} // namespace

// ---- inputs and status ----

void TovrikAppModel::setHostedAuthEmailInput(const QString& value) { publish(m_hostedAuthEmailInput, value); }
void TovrikAppModel::setHostedAuthPasswordInput(const QString& value) { publish(m_hostedAuthPasswordInput, value); }
void TovrikAppModel::setHostedAuthStatusMessage(const QString& value) { publish(m_hostedAuthStatusMessage, value); }
void TovrikAppModel::setHostedEmailAuthVisible(bool value) { publish(m_isHostedEmailAuthVisible, value); }

void TovrikAppModel::updateHostedAuthBusy()
{
    publish(m_isHostedAuthBusy, m_emailAuthInFlight > 0 || m_googleSignInInFlight || m_busyRefreshesInFlight > 0);
}

QString TovrikAppModel::hostedOriginForRequests() const
{
    return normalizedTrustedHostedWorkerBaseURL(m_settings.workerBaseURL)
        .value_or(constants::defaultHostedWorkerBaseURL());
}

void TovrikAppModel::prepareForLikelyTurn()
{
    m_screenCaptureService->warmBuffers();
    if (isHostedAccountSignedIn())
        m_hostedBackendClient->prepareConnection(hostedOriginForRequests());
}

// ---- email sign-in and sign-up ----

bool TovrikAppModel::isValidEmailAddress(const QString& email)
{
    const QStringList parts = email.split(QLatin1Char('@'));
    if (parts.size() != 2)
        return false;
    const QString& local = parts[0];
    const QString& domain = parts[1];
    if (local.isEmpty())
        return false;
    return domain.contains(QLatin1Char('.')) && !domain.startsWith(QLatin1Char('.'))
           && !domain.endsWith(QLatin1Char('.'));
}

void TovrikAppModel::signInHostedAccount()
{
    startTask([this](CancellationToken) { return submitHostedEmailAuth(kActionSignIn); });
}

void TovrikAppModel::createHostedAccount()
{
    startTask([this](CancellationToken) { return submitHostedEmailAuth(kActionSignUp); });
}

QCoro::Task<void> TovrikAppModel::submitHostedEmailAuth(QString action)
{
    QPointer<TovrikAppModel> self(this);
    if (m_isHostedAuthBusy) {
        setHostedAuthStatusMessage(QStringLiteral("The hosted account backend is busy right now."));
        co_return;
    }
    if (!hasValidWorkerBaseURL()) {
        setHostedAuthStatusMessage(QStringLiteral("The hosted backend URL is invalid."));
        co_return;
    }
    const bool signUp = action == kActionSignUp;
    const QString email = m_hostedAuthEmailInput.trimmed();
    const QString password = m_hostedAuthPasswordInput;
    QString validation;
    if (email.isEmpty() || password.isEmpty())
        validation = QStringLiteral("Enter your email address and password first.");
    else if (!isValidEmailAddress(email))
        validation = QStringLiteral("Enter a valid email address.");
    else if (signUp && password.toUcs4().size() < 8)
        validation = QStringLiteral("Password must be at least 8 characters.");
    if (!validation.isEmpty()) {
        setHostedEmailAuthVisible(true);
        setHostedAuthStatusMessage(validation);
        co_return;
    }

    setHostedEmailAuthVisible(true);
    ++m_emailAuthInFlight;
    updateHostedAuthBusy();
    setHostedAuthStatusMessage(QString());

    const QString origin = hostedOriginForRequests();
    HostedAuthSessionPayload result;
    std::exception_ptr failure;
    try {
        if (signUp)
            result = co_await m_hostedBackendClient->signUp(origin, email, password, m_lifetime.token());
        else
            result = co_await m_hostedBackendClient->signIn(origin, email, password, m_lifetime.token());
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;

    if (failure) {
        setHostedAuthStatusMessage(errorDescription(failure));
    } else {
        const QString message = signUp ? QStringLiteral("Account created for ") + email + QStringLiteral(".")
                                       : QStringLiteral("Signed in as ") + email + QStringLiteral(".");
        if (applyHostedAuthResult(result, message))
            setHostedAuthPasswordInput(QString());
    }
    --m_emailAuthInFlight;
    updateHostedAuthBusy();
}

bool TovrikAppModel::applyHostedAuthResult(const HostedAuthSessionPayload& result, const QString& successMessage)
{
    const QString previousToken = m_settings.hostedAccountSessionToken;
    TovrikSettings settings = m_settings;
    // A session that replaces another starts a conversation of its own.
    if (!isBlank(previousToken))
        settings.conversationHistory.clear();
    settings.hostedAccountSessionToken = result.sessionToken;
    settings.hostedAccountEmail = result.email;
    settings.hostedAccountCreditsBalance = result.creditsBalance;
    const SettingsSaveResult saved = m_settingsStore->save(settings, true);
    if (!saved.ok) {
        publish(m_settingsStatusMessage, saved.message);
        setHostedAuthStatusMessage(saved.message);
        // The new session is valid on the service but could not be kept:
        // end it there too rather than leave it behind.
        if (!isBlank(result.sessionToken) && result.sessionToken != previousToken)
            revokeInBackground(result.sessionToken);
        return false;
    }
    if (!isBlank(previousToken))
        cancelActiveInteraction(true); // its turn belongs to the old session
    m_settingsSaveOwed = false;
    m_loadBlockedByKeychain = false; // the items were read again to be written
    publish(m_settingsStatusMessage, QString());
    setSettingsInMemory(settings);
    ++m_hostedSessionEpoch;
    setPermissionIntroDismissed(false);
    publish(m_isShowingAdvancedSettings, false);
    setHostedEmailAuthVisible(false);
    setHostedAuthStatusMessage(successMessage);
    refreshOverlayPresence();
    // A session that this one replaced would otherwise stay valid remotely.
    if (!isBlank(previousToken) && previousToken != result.sessionToken)
        revokeInBackground(previousToken);
    return true;
}

// ---- Google sign-in ----

void TovrikAppModel::continueWithGoogleSignIn()
{
    if (!hasValidWorkerBaseURL()) {
        setHostedAuthStatusMessage(QStringLiteral("The hosted backend URL is invalid."));
        return;
    }
    m_googleSignInTask.cancel();
    const quint64 attempt = ++m_googleSignInAttempt;
    m_googleSignInInFlight = true;
    updateHostedAuthBusy();
    setHostedAuthStatusMessage(
        QStringLiteral("Opening Google sign-in... If you closed it, click Sign in with Google again."));
    const QString origin = hostedOriginForRequests();
    TaskHandle handle = startTask(
        [this, origin, attempt](CancellationToken token) { return runGoogleSignIn(origin, attempt, token); });
    // The task may already have ended (a failure before its first pause).
    if (attempt == m_googleSignInAttempt && m_googleSignInInFlight)
        m_googleSignInTask = handle;
}

QCoro::Task<void> TovrikAppModel::runGoogleSignIn(QString origin, quint64 attempt, CancellationToken token)
{
    QPointer<TovrikAppModel> self(this);
    HostedAuthSessionPayload result;
    std::exception_ptr failure;
    try {
        result = co_await m_googleAuthService->signIn(origin, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;
    if (attempt != m_googleSignInAttempt) {
        // A newer attempt owns the state. A session this one still obtained
        // is not kept, so it is ended on the service.
        if (!failure && !isBlank(result.sessionToken))
            revokeInBackground(result.sessionToken);
        co_return;
    }
    if (!failure)
        applyHostedAuthResult(result, QStringLiteral("Signed in as ") + result.email + QStringLiteral("."));
    else if (isGoogleSignInCancellation(failure))
        setHostedAuthStatusMessage(QStringLiteral(
            "Google sign-in was cancelled or timed out. Click Sign in with Google to try again."));
    else
        setHostedAuthStatusMessage(errorDescription(failure));
    m_googleSignInInFlight = false;
    updateHostedAuthBusy();
    m_googleSignInTask = TaskHandle();
}

// ---- account refresh ----

QCoro::Task<void> TovrikAppModel::refreshHostedAccount(bool showBusyState)
{
    if (!canRefreshHostedAccount())
        co_return;
    QPointer<TovrikAppModel> self(this);
    const int epoch = m_hostedSessionEpoch;
    const quint64 generation = ++m_hostedAccountRefreshGeneration;
    const QString origin = hostedOriginForRequests();
    const QString sessionToken = m_settings.hostedAccountSessionToken;
    if (showBusyState) {
        ++m_busyRefreshesInFlight;
        updateHostedAuthBusy();
    }
    HostedAccountSummaryPayload summary;
    std::exception_ptr failure;
    try {
        summary = co_await m_hostedBackendClient->fetchAccountSummary(origin, sessionToken, m_lifetime.token());
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;
    if (showBusyState) {
        --m_busyRefreshesInFlight;
        updateHostedAuthBusy();
    }
    // A refresh of an earlier session, or overtaken by a newer refresh,
    // changes nothing.
    if (epoch != m_hostedSessionEpoch || generation != m_hostedAccountRefreshGeneration
        || sessionToken != m_settings.hostedAccountSessionToken)
        co_return;
    if (failure) {
        if (!isCancellation(failure))
            setHostedAuthStatusMessage(errorDescription(failure));
        co_return;
    }
    TovrikSettings settings = m_settings;
    settings.hostedAccountCreditsBalance = summary.creditsBalance;
    if (!isBlank(summary.email))
        settings.hostedAccountEmail = summary.email;
    // A failed save shows on the ready screen, where credits are shown.
    if (settings != m_settings && !storeSettings(settings, showBusyState))
        setChatOnlyStatusMessage(m_settingsStatusMessage);
}

void TovrikAppModel::scheduleHostedCreditRefresh()
{
    startTask([this](CancellationToken) { return refreshHostedAccount(false); });
}

void TovrikAppModel::openHostedAccountPage()
{
    const QUrl url(constants::hostedAccountPageURL());
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return;
    // Without a browser the page cannot open: the status line says so in
    // one line and names where to go (host and path, without the scheme or
    // the fragment).
    QPointer<TovrikAppModel> weak(this);
    const QString place = url.host() + url.path();
    platform::Platform::get().workspace().openURL(url, [weak, place](bool opened) {
        if (!opened && isAlive(weak))
            weak->setChatOnlyStatusMessage(QStringLiteral("No browser opened ") + place + QLatin1Char('.'));
    });
}

// ---- sign-out ----

void TovrikAppModel::signOutHostedAccount()
{
    const QString token = m_settings.hostedAccountSessionToken;
    TovrikSettings settings = m_settings;
    settings.hostedAccountSessionToken.clear();
    settings.hostedAccountEmail.clear();
    settings.hostedAccountCreditsBalance = 0;
    // The conversation is the account's: it ends with the session, and a
    // turn still running cannot add to it afterwards.
    settings.conversationHistory.clear();
    cancelActiveInteraction(true);
    // The token is kept as a pending sign-out in the same save that ends the
    // session, so a revocation that never completes is retried next launch.
    if (!isBlank(token) && !settings.pendingHostedSignOutTokens.contains(token))
        settings.pendingHostedSignOutTokens.append(token);
    // The sign-in screen that comes next no longer greets the old account.
    setHostedAuthStatusMessage(QString());
    const SettingsSaveResult saved = m_settingsStore->save(settings, true);
    // The local session ends now, whether or not the save went through; a
    // failed save is shown on the sign-in screen and tried again until it
    // goes through, so the stored token does not outlive the session.
    setSettingsInMemory(settings);
    if (saved.ok) {
        m_settingsSaveOwed = false;
        publish(m_settingsStatusMessage, QString());
    } else {
        publish(m_settingsStatusMessage, saved.message);
        setHostedAuthStatusMessage(saved.message);
        oweSettingsSave();
    }
    ++m_hostedSessionEpoch;
    hidePermissionGuide();
    refreshOverlayPresence();
    if (!isBlank(token))
        revokeInBackground(token);
}

void TovrikAppModel::retryPendingSignOuts()
{
    const QStringList tokens = m_settings.pendingHostedSignOutTokens;
    for (const QString& token : tokens)
        revokeInBackground(token);
}

void TovrikAppModel::revokeInBackground(const QString& token)
{
    if (isBlank(token) || m_revocationsInFlight.contains(token))
        return;
    m_revocationsInFlight.insert(token);
    const QString origin = hostedOriginForRequests();
    startTask([this, origin, token](CancellationToken) { return revokeSessionToken(origin, token); });
}

QCoro::Task<void> TovrikAppModel::revokeSessionToken(QString origin, QString token)
{
    QPointer<TovrikAppModel> self(this);
    std::exception_ptr failure;
    try {
        co_await m_hostedBackendClient->revokeSession(origin, token, m_lifetime.token());
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isAlive(self))
        co_return;
    m_revocationsInFlight.remove(token);
    if (!failure || isAlreadyRevoked(failure))
        removePendingSignOut(token);
    else
        addPendingSignOut(token);
    emit changed();
}

void TovrikAppModel::addPendingSignOut(const QString& token)
{
    if (m_settings.pendingHostedSignOutTokens.contains(token))
        return;
    TovrikSettings settings = m_settings;
    settings.pendingHostedSignOutTokens.append(token);
    storeSettings(settings, false);
}

void TovrikAppModel::removePendingSignOut(const QString& token)
{
    if (!m_settings.pendingHostedSignOutTokens.contains(token))
        return;
    TovrikSettings settings = m_settings;
    settings.pendingHostedSignOutTokens.removeAll(token);
    // While a sign-out's save is owed, its retry stores this too.
    if (m_settingsSaveOwed) {
        setSettingsInMemory(settings);
        return;
    }
    storeSettings(settings, false);
}

} // namespace tovrik
