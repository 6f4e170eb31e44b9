// The hosted account against the fake hosted service over real TLS: email
// validation and submission, Google sign-in, refreshes with their epoch and
// generation, credits, sign-out and the retry of failed revocations.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "hosted/HTTPError.h"
#include "hosted/HostedPayloads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace tovrik::test {
namespace {

const QString kEmail = QStringLiteral("a@b.c");
const QString kPassword = QStringLiteral("password1");

class ModelAccountTest : public HostedModelTest {
protected:
    bool waitForStatus(const QString& text) { return spinUntil([&] { return model->hostedAuthStatusMessage() == text; }, 10000); }
    TaskHandle startRefresh(bool showBusyState = false)
    {
        return startTask([this, showBusyState](CancellationToken) { return model->refreshHostedAccount(showBusyState); });
    }
    static bool finishes(const TaskHandle& task) { return spinUntil([&] { return task.isFinished(); }, 10000); }
    bool refresh() { return finishes(startRefresh()); }
    void enterCredentials(const QString& email = kEmail, const QString& password = kPassword)
    {
        model->setHostedAuthEmailInput(email);
        model->setHostedAuthPasswordInput(password);
    }
    bool waitForRevocations() { return spinUntil([this]() { return model->runningRevocationCount() == 0; }, 10000); }
    // An account on the service whose session a previous launch stored.
    QString storeFakeSession(qint64 credits = 10)
    {
        fake.addAccount(kEmail, kPassword, credits);
        const QString token = fake.createSession(kEmail);
        storeSignedInSettings(token, kEmail, credits);
        return token;
    }
    static QStringList storedPendingSignOuts() { return SettingsStore().load().settings.pendingHostedSignOutTokens; }
};

TEST_F(ModelAccountTest, ValidationTextsSendNothingThenSignUpCreatesTheAccount)
{
    for (const char* bad : {"a@b", "a@.b.c", "a@b.c.", "@b.c", "a@b@c.d", "ab.c", "a@@b.c", ""})
        EXPECT_FALSE(TovrikAppModel::isValidEmailAddress(QString::fromLatin1(bad))) << bad;
    for (const char* good : {"a@b.c", "first.last@sub.example.com", "x@y.z"})
        EXPECT_TRUE(TovrikAppModel::isValidEmailAddress(QString::fromLatin1(good))) << good;
    auto& m = makeModel();
    struct Case { const char *email, *password; bool create; const char* status; };
    const Case cases[] = {
        {"", "", false, "Enter your email address and password first."},
        {"   ", "password1", false, "Enter your email address and password first."},
        {"a@b.c.", "password1", false, "Enter a valid email address."},
        {"a@b.c", "1234567", true, "Password must be at least 8 characters."},
    };
    for (const Case& c : cases) {
        enterCredentials(QString::fromLatin1(c.email), QString::fromLatin1(c.password));
        c.create ? m.createHostedAccount() : m.signInHostedAccount();
        EXPECT_EQ(m.hostedAuthStatusMessage(), QString::fromLatin1(c.status)) << c.email;
        EXPECT_TRUE(m.isHostedEmailAuthVisible() && !m.isHostedAuthBusy());
    }
    drainEvents();
    EXPECT_TRUE(fake.requests().isEmpty());
    enterCredentials(QStringLiteral("new@b.c"), QStringLiteral("12345678")); // eight characters are enough
    m.createHostedAccount();
    ASSERT_TRUE(waitForStatus(QStringLiteral("Account created for new@b.c.")));
    EXPECT_TRUE(m.isHostedAccountSignedIn());
    EXPECT_EQ(m.hostedAuthPasswordInput(), QString());
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/auth/signup")).size(), 1);
}

TEST_F(ModelAccountTest, SignInAgainstTheService)
{
    fake.addAccount(kEmail, kPassword, 1234567);
    auto& m = makeModel();
    m.showAdvancedSettings();
    m.setPermissionIntroDismissed(true);
    enterCredentials(QStringLiteral("  a@b.c \n"));
    m.signInHostedAccount();
    EXPECT_TRUE(m.isHostedAuthBusy() && m.isHostedEmailAuthVisible());
    EXPECT_EQ(m.hostedAuthStatusMessage(), QString());
    ASSERT_TRUE(waitForStatus(QStringLiteral("Signed in as a@b.c."))) << m.hostedAuthStatusMessage().toStdString();
    EXPECT_EQ(m.hostedAuthPasswordInput(), QString());
    EXPECT_EQ(m.hostedAuthEmailInput(), QStringLiteral("  a@b.c \n")) << "the email input is never cleared";
    EXPECT_FALSE(m.isHostedAuthBusy() || m.isHostedEmailAuthVisible() || m.isShowingAdvancedSettings()
                 || m.permissionIntroDismissed());
    EXPECT_TRUE(m.isHostedAccountSignedIn());
    EXPECT_EQ(m.hostedSessionEpoch(), 1);
    EXPECT_EQ(m.settings().hostedAccountEmail, kEmail);
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, 1234567);
    EXPECT_TRUE(fake.isSessionActive(m.settings().hostedAccountSessionToken));
    const QList<FakeRequest> requests = fake.requestsTo(QStringLiteral("/auth/signin"));
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].json().value(QStringLiteral("email")).toString(), kEmail);
    EXPECT_EQ(requests[0].host, QUrl(constants::defaultHostedWorkerBaseURL()).host());
    // Stored as a secret (which never goes into the file, as the store's tests check).
    EXPECT_EQ(sim->simKeychain().items(SettingsStore::keychainService).value(QStringLiteral("hostedAccountSessionToken")),
              m.settings().hostedAccountSessionToken.toUtf8());
    // The sign-in screen after a sign-out no longer names the account.
    m.signOutHostedAccount();
    EXPECT_EQ(m.hostedAuthStatusMessage(), QString());
}

TEST_F(ModelAccountTest, SignInFailuresShowTheServiceMessage)
{
    auto& m = makeModel();
    enterCredentials();
    const std::pair<FakeResponse, QString> cases[] = {
        {FakeResponse::error(401, "invalid_credentials", "  Wrong email or password. "), "Wrong email or password."},
        {FakeResponse::error(500, QString(), QString()), QStringLiteral("request failed")},
        {FakeResponse::raw(200, "text/html", "<html>not json</html>"), QStringLiteral("invalid api response")},
    };
    for (const auto& [response, status] : cases) {
        fake.setHandler("POST", QStringLiteral("/auth/signin"), [r = response](const FakeRequest&) { return r; });
        m.signInHostedAccount();
        ASSERT_TRUE(waitForStatus(status));
        EXPECT_FALSE(m.isHostedAuthBusy() || m.isHostedAccountSignedIn());
        EXPECT_EQ(m.hostedAuthPasswordInput(), kPassword) << "a failed sign-in keeps the password";
        EXPECT_EQ(m.hostedSessionEpoch(), 0);
    }
}

TEST_F(ModelAccountTest, UntrustedOriginRefusesEverySignIn)
{
    auto& m = makeModel();
    changeSettings([](TovrikSettings& s) { s.workerBaseURL = QStringLiteral("https://evil.example"); });
    enterCredentials();
    m.signInHostedAccount();
    EXPECT_EQ(m.hostedAuthStatusMessage(), QStringLiteral("The hosted backend URL is invalid."));
    EXPECT_FALSE(m.isHostedEmailAuthVisible());
    m.setHostedAuthStatusMessage(QString());
    m.continueWithGoogleSignIn();
    EXPECT_EQ(m.hostedAuthStatusMessage(), QStringLiteral("The hosted backend URL is invalid."));
    EXPECT_FALSE(m.isHostedAuthBusy());
    EXPECT_EQ(m.googleSignInAttempt(), 0u);
    drainEvents();
    EXPECT_TRUE(fake.requests().isEmpty());
    EXPECT_TRUE(sim->simWorkspace().openedURLs.isEmpty());
}

TEST_F(ModelAccountTest, FailedSaveOfANewSessionRevokesIt)
{
    fake.addAccount(kEmail, kPassword, 5);
    auto& m = makeModel();
    enterCredentials();
    sim->simKeychain().failWriteFor(QStringLiteral("hostedAccountSessionToken"));
    m.signInHostedAccount();
    ASSERT_TRUE(spinUntil([&]() { return !m.isHostedAuthBusy(); }, 10000));
    EXPECT_FALSE(m.isHostedAccountSignedIn());
    EXPECT_FALSE(m.hostedAuthStatusMessage().isEmpty());
    EXPECT_NE(m.hostedAuthStatusMessage(), QStringLiteral("Signed in as a@b.c."));
    EXPECT_EQ(m.hostedAuthPasswordInput(), kPassword);
    EXPECT_EQ(m.hostedSessionEpoch(), 0);
    ASSERT_TRUE(fake.waitForRequests(2, 10000) && waitForRevocations());
    const QList<FakeRequest> revocations = fake.requestsTo(QStringLiteral("/api/account/signout"));
    ASSERT_EQ(revocations.size(), 1);
    EXPECT_FALSE(fake.isSessionActive(revocations[0].bearerToken()));
}

TEST_F(ModelAccountTest, GoogleSignInThroughTheBrowserRefusedThenApproved)
{
    auto& m = makeModel();
    auto consent = FakeHostedService::Consent::deny;
    sim->simWorkspace().onOpenURL = [&](const QUrl& url) { fake.completeGoogleAuthorization(url, consent); };
    m.continueWithGoogleSignIn();
    ASSERT_TRUE(waitForStatus(QStringLiteral(
        "Google sign-in was cancelled or timed out. Click Sign in with Google to try again.")))
        << m.hostedAuthStatusMessage().toStdString();
    EXPECT_FALSE(m.isHostedAuthBusy() || m.isHostedAccountSignedIn());
    consent = FakeHostedService::Consent::approve;
    m.continueWithGoogleSignIn();
    EXPECT_TRUE(m.isHostedAuthBusy());
    EXPECT_EQ(m.googleSignInAttempt(), 2u);
    EXPECT_EQ(m.hostedAuthStatusMessage(),
              QStringLiteral("Opening Google sign-in... If you closed it, click Sign in with Google again."));
    ASSERT_TRUE(waitForStatus("Signed in as google.user@example.com.")) << m.hostedAuthStatusMessage().toStdString();
    EXPECT_TRUE(!m.isHostedAuthBusy() && m.isHostedAccountSignedIn());
    EXPECT_EQ(m.hostedSessionEpoch(), 1);
}

TEST_F(ModelAccountTest, OnlyTheLatestGoogleAttemptCountsAndAnEmailSubmissionWaits)
{
    auto& m = makeModel();
    QList<QUrl> opened;
    sim->simWorkspace().onOpenURL = [&opened](const QUrl& url) { opened << url; };
    m.continueWithGoogleSignIn();
    ASSERT_TRUE(spinUntil([&]() { return opened.size() == 1; }));
    m.continueWithGoogleSignIn();
    ASSERT_TRUE(spinUntil([&]() { return opened.size() == 2; }));
    EXPECT_EQ(m.googleSignInAttempt(), 2u);
    // The first attempt was cancelled: its end changes nothing.
    drainEvents();
    EXPECT_TRUE(m.isHostedAuthBusy());
    EXPECT_EQ(m.hostedAuthStatusMessage(),
              QStringLiteral("Opening Google sign-in... If you closed it, click Sign in with Google again."));
    // A second submission while busy is refused.
    enterCredentials();
    m.createHostedAccount();
    EXPECT_EQ(m.hostedAuthStatusMessage(), QStringLiteral("The hosted account backend is busy right now."));
    fake.completeGoogleAuthorization(opened[1]);
    ASSERT_TRUE(waitForStatus(QStringLiteral("Signed in as google.user@example.com.")));
    EXPECT_FALSE(m.isHostedAuthBusy());
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/auth/signup")).isEmpty());
}

TEST_F(ModelAccountTest, RefreshAppliesCreditsAndEmailOrReportsItsFailure)
{
    fake.addAccount(kEmail, kPassword, 10);
    storeSignedInSettings(fake.createSession(kEmail), QStringLiteral("old@b.c"), 3);
    fake.setCreditsBalance(kEmail, 1234567);
    auto& m = makeModel();
    ASSERT_TRUE(m.canRefreshHostedAccount());
    ASSERT_TRUE(refresh());
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, 1234567);
    EXPECT_EQ(m.settings().hostedAccountEmail, kEmail);
    EXPECT_EQ(readSettingsJson().value(QStringLiteral("hostedAccountCreditsBalance")).toInteger(), 1234567);
    // With the busy state the account is busy while the refresh runs.
    fake.setCreditsBalance(kEmail, -5);
    const TaskHandle busy = startRefresh(true);
    EXPECT_TRUE(m.isHostedAuthBusy());
    EXPECT_FALSE(m.canRefreshHostedAccount());
    ASSERT_TRUE(finishes(busy));
    EXPECT_FALSE(m.isHostedAuthBusy());
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, -5);
    // A failure goes to the account status and changes nothing.
    fake.setHandler("GET", QStringLiteral("/auth/me"),
                    [](const FakeRequest&) { return FakeResponse::error(503, "unavailable", "Service is resting."); });
    ASSERT_TRUE(refresh());
    EXPECT_EQ(m.hostedAuthStatusMessage(), QStringLiteral("Service is resting."));
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, -5);
}

TEST_F(ModelAccountTest, RefreshOfAnOldEpochChangesNothing)
{
    const QString oldToken = storeFakeSession(3);
    fake.setHandler("GET", QStringLiteral("/auth/me"), [](const FakeRequest&) {
        return FakeResponse::json(200, QJsonObject{{"email", "a@b.c"}, {"creditsBalance", 999}}).slowed(300);
    });
    auto& m = makeModel();
    const TaskHandle old = startRefresh();
    ASSERT_TRUE(fake.waitForRequests(1));
    // A new session arrives while the refresh of the old one is in flight.
    HostedAuthSessionPayload session;
    session.sessionToken = QStringLiteral("new-session-token");
    session.email = QStringLiteral("other@b.c");
    session.creditsBalance = 77;
    ASSERT_TRUE(m.applyHostedAuthResult(session, QStringLiteral("Signed in as other@b.c.")));
    EXPECT_EQ(m.hostedSessionEpoch(), 1);
    ASSERT_TRUE(finishes(old));
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, 77);
    EXPECT_EQ(m.settings().hostedAccountEmail, QStringLiteral("other@b.c"));
    EXPECT_EQ(m.hostedAuthStatusMessage(), QStringLiteral("Signed in as other@b.c."));
    EXPECT_EQ(fake.requestsTo(QStringLiteral("/auth/me")).value(0).bearerToken(), oldToken);
    // The replaced session is ended on the service.
    ASSERT_TRUE(waitForRevocations());
    EXPECT_FALSE(fake.isSessionActive(oldToken));
}

TEST_F(ModelAccountTest, OnlyTheNewestRefreshIsApplied)
{
    storeFakeSession(3);
    int calls = 0;
    fake.setHandler("GET", QStringLiteral("/auth/me"), [&calls](const FakeRequest&) {
        const FakeResponse r = FakeResponse::json(200, QJsonObject{{"email", "a@b.c"}, {"creditsBalance", ++calls == 1 ? 111 : 222}});
        return calls == 1 ? r.slowed(300) : r;
    });
    makeModel();
    const TaskHandle first = startRefresh();
    ASSERT_TRUE(fake.waitForRequests(1));
    ASSERT_TRUE(finishes(startRefresh()) && finishes(first));
    EXPECT_EQ(model->settings().hostedAccountCreditsBalance, 222);
}

// (The refresh launch() starts is seen by every turn test's start.)
TEST_F(ModelAccountTest, TheRefreshATurnSchedulesReturnsAtOnceAndNeedsASession)
{
    storeFakeSession(555);
    auto& m = makeModel();
    drainEvents();
    EXPECT_TRUE(fake.requests().isEmpty()) << "the constructor asks nothing";
    fake.setCreditsBalance(kEmail, 4321);
    m.scheduleHostedCreditRefresh();
    EXPECT_EQ(m.settings().hostedAccountCreditsBalance, 555);
    ASSERT_TRUE(spinUntil([&]() { return m.settings().hostedAccountCreditsBalance == 4321; }, 10000));
    // Signed out: nothing is asked.
    m.signOutHostedAccount();
    ASSERT_TRUE(waitForRevocations());
    fake.clearRecords();
    m.scheduleHostedCreditRefresh();
    drainEvents();
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/auth/me")).isEmpty());
}

TEST_F(ModelAccountTest, SignOutEndsTheSessionAtOnceAndRevokes)
{
    const QString token = storeFakeSession();
    setPermissions(false, true);
    auto& m = makeModel();
    ASSERT_TRUE(m.isHostedAccountSignedIn());
    m.performCurrentPermissionAction(); // accessibility: opens the guide
    ASSERT_EQ(m.visiblePermissionGuideKind(), PermissionGuideKind::accessibility);
    const int epoch = m.hostedSessionEpoch();
    m.signOutHostedAccount();
    // At once, before any network answer.
    EXPECT_TRUE(!m.isHostedAccountSignedIn() && m.requiresAuthentication());
    EXPECT_FALSE(m.visiblePermissionGuideKind().has_value());
    EXPECT_EQ(m.hostedSessionEpoch(), epoch + 1);
    EXPECT_FALSE(sim->simKeychain().items(SettingsStore::keychainService).contains(QStringLiteral("hostedAccountSessionToken")));
    EXPECT_EQ(storedPendingSignOuts(), QStringList{token});
    ASSERT_TRUE(waitForRevocations());
    EXPECT_FALSE(fake.isSessionActive(token));
    EXPECT_TRUE(m.settings().pendingHostedSignOutTokens.isEmpty() && storedPendingSignOuts().isEmpty());
    const auto revocations = fake.requestsTo(QStringLiteral("/api/account/signout"));
    ASSERT_EQ(revocations.size(), 1);
    EXPECT_EQ(revocations[0].bearerToken(), token);
}

TEST_F(ModelAccountTest, FailedRevocationIsRetriedByTheNextLaunch)
{
    const QString token = storeFakeSession();
    fake.setHandler("POST", QStringLiteral("/api/account/signout"),
                    [](const FakeRequest&) { return FakeResponse::error(500, "internal", "try later"); });
    makeModel().signOutHostedAccount();
    ASSERT_TRUE(waitForRevocations());
    EXPECT_TRUE(fake.isSessionActive(token));
    EXPECT_EQ(model->settings().pendingHostedSignOutTokens, QStringList{token});
    EXPECT_EQ(storedPendingSignOuts(), QStringList{token});
    model.reset();
    fake.clearHandlers();
    fake.clearRecords();
    auto& next = makeModel();
    drainEvents();
    EXPECT_TRUE(fake.requests().isEmpty()) << "only launch() retries";
    EXPECT_FALSE(next.isHostedAccountSignedIn());
    next.launch();
    ASSERT_TRUE(spinUntil([&]() { return !fake.isSessionActive(token); }, 10000));
    ASSERT_TRUE(waitForRevocations());
    EXPECT_TRUE(next.settings().pendingHostedSignOutTokens.isEmpty() && storedPendingSignOuts().isEmpty());
    // A token the service no longer knows counts as revoked.
    model.reset();
    storeSignedInSettings(QStringLiteral("unknown-token"), kEmail, 10);
    fake.setHandler("POST", QStringLiteral("/api/account/signout"),
                    [](const FakeRequest&) { return FakeResponse::error(401, "unauthorized", "Sign in again."); });
    makeModel().signOutHostedAccount();
    ASSERT_TRUE(waitForRevocations());
    EXPECT_TRUE(model->settings().pendingHostedSignOutTokens.isEmpty());
}

TEST_F(ModelAccountTest, SignOutWhoseSaveFailsStillEndsTheLocalSession)
{
    const QString token = storeFakeSession();
    auto& m = makeModel();
    sim->simKeychain().failAll(true);
    m.signOutHostedAccount();
    EXPECT_FALSE(m.isHostedAccountSignedIn());
    EXPECT_FALSE(m.settingsStatusMessage().isEmpty());
    EXPECT_EQ(m.hostedAuthStatusMessage(), m.settingsStatusMessage());
    ASSERT_TRUE(waitForRevocations());
    EXPECT_FALSE(fake.isSessionActive(token));
    // The save is tried again until the keychain takes it.
    EXPECT_EQ(sim->simKeychain().items(SettingsStore::keychainService).value(QStringLiteral("hostedAccountSessionToken")),
              token.toUtf8());
    sim->simKeychain().failAll(false);
    advance(TovrikAppModel::owedSaveRetrySeconds + 0.5);
    EXPECT_FALSE(m.hasOwedSettingsSave());
    EXPECT_TRUE(sim->simKeychain().items(SettingsStore::keychainService).isEmpty());
    EXPECT_EQ(m.hostedAuthStatusMessage(), QString());
}

TEST_F(ModelAccountTest, AccountPageOpensInTheBrowserOrItsAddressIsShown)
{
    auto& m = makeModel();
    const QString page = constants::defaultHostedWorkerBaseURL() + QStringLiteral("/account#price-cards");
    m.openHostedAccountPage();
    EXPECT_EQ(sim->simWorkspace().openedURLs, QList<QUrl>{QUrl(page)});
    EXPECT_EQ(m.chatOnlyStatusMessage(), QString());
    sim->simWorkspace().failing = true;
    m.openHostedAccountPage();
    // One line that names where to go: host and path.
    EXPECT_EQ(m.chatOnlyStatusMessage(), "No browser opened " + QUrl(page).host() + "/account.");
}

TEST_F(ModelAccountTest, AgentProjectsFolderIsMadePrivateOnDemandAndOpenedOrTheFailureSaid)
{
    auto& m = makeModel();
    const QString folder = m.settingsStore().directory() + QStringLiteral("/agent-projects");
    EXPECT_EQ(m.agentProjectsFolderPath(), folder);
    EXPECT_FALSE(QFileInfo::exists(folder)); // nothing made before it is asked for
    m.openAgentProjectsFolder();
    ASSERT_TRUE(QFileInfo(folder).isDir());
    // 0700: the owner may do everything, group and others nothing.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    EXPECT_EQ(QFile::permissions(folder) & (others | owner), owner);
    EXPECT_EQ(sim->simWorkspace().openedURLs.value(0), QUrl::fromLocalFile(folder));
    EXPECT_TRUE(m.settingsStatusMessage().isEmpty());
    sim->simWorkspace().failing = true;
    m.openAgentProjectsFolder();
    EXPECT_EQ(m.settingsStatusMessage(), "No file manager could open " + folder + ".");
    // A folder that cannot be made: a file stands in its way.
    QDir(folder).removeRecursively();
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(m.ensureAgentProjectsFolder());
    EXPECT_TRUE(m.settingsStatusMessage().startsWith("Could not create the agent projects folder: "));
}

// (An invalid response and a failed status without a message: through a real sign-in above.)
TEST_F(ModelAccountTest, ErrorDescriptions)
{
    const auto describe = [](auto error) { return TovrikAppModel::errorDescription(std::make_exception_ptr(error)); };
    EXPECT_EQ(describe(HTTPError::timedOut()), QStringLiteral("request timed out"));
    EXPECT_EQ(describe(HTTPError::failedStatus(402, QStringLiteral("  Out of credits  "))), QStringLiteral("Out of credits"));
    EXPECT_EQ(describe(TovrikError(QStringLiteral("TovrikInput"), 3, QStringLiteral("Unsupported KEY: f19"))),
              QStringLiteral("UI Autopilot could not press that keyboard shortcut."));
    EXPECT_EQ(describe(std::runtime_error("Could not post the Keyboard Shortcut cmd+q")),
              QStringLiteral("UI Autopilot could not press that keyboard shortcut."));
    EXPECT_EQ(describe(TovrikError("TovrikScreenCapture", 1, "Capture failed.")), "Capture failed.");
    EXPECT_EQ(TovrikAppModel::errorDescription(nullptr), QString());
}

} // namespace
} // namespace tovrik::test
