// The store against a gnome-keyring of its own: a private session bus with
// no service activation (a stopped keyring stays gone, and an unlock prompt
// finds no prompter, as if the user pressed Cancel at once), and a keyring
// daemon that the test starts, locks and stops itself.

#include "platform/x11/SecretServiceKeychain.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace tovrik;
using platform::KeychainResult;
using platform::x11::SecretServiceKeychain;

namespace {

const char* kChild = "TOVRIK_PRIVATE_KEYRING_CHILD";
const QString kBus = QStringLiteral("org.freedesktop.secrets");
const QString kPath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QByteArray kPassword = "tovrik-private-keyring";

QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& args)
{
    auto message = QDBusMessage::createMethodCall(kBus, path, interface, method);
    message.setArguments(args);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 20000);
}

bool waitFor(const std::function<bool()>& done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        QTest::qWait(10);
    return done();
}

bool secretsOnBus() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kBus).value(); }

TovrikSettings signedIn(const QString& token)
{
    TovrikSettings s;
    s.hostedAccountEmail = QStringLiteral("ada@example.com");
    s.hostedAccountSessionToken = token;
    return s;
}

class PrivateKeyringChild : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
        ASSERT_FALSE(secretsOnBus()) << "the bus must be private";
        startDaemon();
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override
    {
        daemon.kill();
        daemon.waitForFinished();
    }
    // Starts the daemon; its login keyring opens (or is made) unlocked.
    void startDaemon()
    {
        daemon.start(QStringLiteral("gnome-keyring-daemon"),
                     {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        ASSERT_TRUE(daemon.waitForStarted());
        daemon.write(kPassword);
        daemon.closeWriteChannel();
        ASSERT_TRUE(waitFor(secretsOnBus));
        ASSERT_TRUE(waitFor([] {
            return call(kPath, kServiceInterface, "ReadAlias", {QStringLiteral("default")})
                       .arguments().value(0).value<QDBusObjectPath>().path().size() > 1;
        }));
    }
    QString loginCollection()
    {
        return call(kPath, kServiceInterface, "ReadAlias", {QStringLiteral("default")})
            .arguments().value(0).value<QDBusObjectPath>().path();
    }
    void lockLogin()
    {
        const auto reply = call(kPath, kServiceInterface, "Lock",
                                {QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(loginCollection())})});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    // Unlocks the login keyring with its password, as the user would.
    void unlockLogin()
    {
        const auto session = call(kPath, kServiceInterface, "OpenSession",
                                  {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        ASSERT_EQ(session.type(), QDBusMessage::ReplyMessage) << session.errorMessage().toStdString();
        QDBusArgument secret; // the Secret Service's (oayays) secret
        secret.beginStructure();
        secret << session.arguments().value(1).value<QDBusObjectPath>() << QByteArray() << kPassword
               << QStringLiteral("text/plain");
        secret.endStructure();
        const auto reply = call(kPath, QStringLiteral("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface"),
                                QStringLiteral("UnlockWithMasterPassword"),
                                {QVariant::fromValue(QDBusObjectPath(loginCollection())), QVariant::fromValue(secret)});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    QProcess daemon;
    QTemporaryDir dir;
};

// Counts the unlock prompts that clients open on the bus.
class PromptCounter {
public:
    PromptCounter()
    {
        m_monitor.start(QStringLiteral("dbus-monitor"),
                        {QStringLiteral("--session"),
                         QStringLiteral("type='method_call',interface='org.freedesktop.Secret.Prompt',member='Prompt'"),
                         QStringLiteral("type='method_call',interface='org.freedesktop.DBus.Peer',member='Ping'")});
        m_monitor.waitForStarted();
        waitFor([this] { return read().contains("NameLost"); });
    }
    ~PromptCounter()
    {
        m_monitor.kill();
        m_monitor.waitForFinished();
    }
    // The prompts opened so far: everything sent before this call is seen.
    int count()
    {
        const int pings = int(read().count("member=Ping"));
        call(kPath, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"), {});
        waitFor([&] { return read().count("member=Ping") > pings; });
        return int(m_output.count("member=Prompt"));
    }

private:
    const QByteArray& read()
    {
        m_output += m_monitor.readAllStandardOutput();
        return m_output;
    }
    QProcess m_monitor;
    QByteArray m_output;
};

class LockedAtStart : public PrivateKeyringChild {
    void TestBody() override
    {
        SecretServiceKeychain keychain(20000);
        const QString folder = dir.path() + QStringLiteral("/Tovrik");
        SettingsStore first(keychain, folder);
        first.load();
        ASSERT_TRUE(first.save(signedIn(QStringLiteral("kept-token"))).ok);
        lockLogin();
        PromptCounter prompts;

        // Start-up: no prompt at all, and the reason is given.
        SettingsStore store(keychain, folder);
        const auto atStart = store.load();
        EXPECT_TRUE(atStart.keychainReadFailed);
        EXPECT_EQ(atStart.message, QStringLiteral("The keyring is locked, so your sign-in could not be read."));
        EXPECT_TRUE(atStart.settings.hostedAccountSessionToken.isEmpty());
        EXPECT_EQ(prompts.count(), 0);
        // A save in the background touches nothing and asks nothing.
        TovrikSettings background = atStart.settings;
        background.isSilentModeEnabled = true;
        EXPECT_TRUE(store.save(background).ok);
        EXPECT_EQ(prompts.count(), 0);

        // The user's retry asks once for both items; cancelled, both stay.
        const auto retried = store.reloadSecrets(background, true);
        EXPECT_TRUE(retried.keychainReadFailed);
        EXPECT_EQ(prompts.count(), 1);
        // A sign-in saved while locked asks once more (a new action) and
        // fails without losing the stored token.
        EXPECT_FALSE(store.save(signedIn(QStringLiteral("new-token")), true).ok);
        EXPECT_EQ(prompts.count(), 2);

        // Unlocked by the user elsewhere: the retry finds the session kept.
        unlockLogin();
        const auto after = store.reloadSecrets(background, true);
        EXPECT_FALSE(after.keychainReadFailed) << after.message.toStdString();
        EXPECT_EQ(after.settings.hostedAccountSessionToken, QStringLiteral("kept-token"));
        EXPECT_TRUE(after.settings.isSilentModeEnabled);
    }
};

// Stops the keyring daemon right after the first change of a save.
class StoppingKeychain : public platform::Keychain {
public:
    StoppingKeychain(platform::Keychain& real, QProcess& daemon) : m_real(real), m_daemon(daemon) {}
    KeychainResult read(const QString& s, const QString& a) override { return m_real.read(s, a); }
    KeychainResult write(const QString& s, const QString& a, const QByteArray& d) override { return stopAfter(m_real.write(s, a, d)); }
    KeychainResult remove(const QString& s, const QString& a) override { return stopAfter(m_real.remove(s, a)); }
    bool armed = false;

private:
    KeychainResult stopAfter(KeychainResult result)
    {
        if (std::exchange(armed, false)) {
            m_daemon.kill();
            m_daemon.waitForFinished();
            waitFor([] { return !secretsOnBus(); });
        }
        return result;
    }
    platform::Keychain& m_real;
    QProcess& m_daemon;
};

class StoppedMidSave : public PrivateKeyringChild {
    void TestBody() override
    {
        SecretServiceKeychain real(20000);
        StoppingKeychain keychain(real, daemon);
        const QString folder = dir.path() + QStringLiteral("/Tovrik");
        SettingsStore store(keychain, folder);
        store.load();
        ASSERT_TRUE(store.save(signedIn(QStringLiteral("old-token"))).ok);
        QFile file(store.settingsFilePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray fileBefore = file.readAll();
        file.close();

        // The sign-out: the session token leaves, queued for revocation.
        TovrikSettings signedOut;
        signedOut.pendingHostedSignOutTokens = {QStringLiteral("old-token")};
        keychain.armed = true;
        EXPECT_FALSE(store.save(signedOut).ok);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), fileBefore);
        file.close();

        // The keyring is back: what is stored reads as the sign-out, with
        // the revocation still queued, never as a session without it.
        startDaemon();
        SettingsStore next(real, folder);
        const auto loaded = next.load();
        EXPECT_FALSE(loaded.keychainReadFailed) << loaded.message.toStdString();
        EXPECT_TRUE(loaded.settings.hostedAccountSessionToken.isEmpty());
        EXPECT_EQ(loaded.settings.pendingHostedSignOutTokens, QStringList{QStringLiteral("old-token")});
        // Saving the sign-out again now completes it.
        ASSERT_TRUE(next.save(signedOut).ok);
        const auto again = SettingsStore(real, folder).load();
        EXPECT_FALSE(again.finishedSignOut);
        EXPECT_EQ(again.settings, signedOut);
    }
};

const bool kChildRegistered = [] {
    if (!qEnvironmentVariableIsSet(kChild))
        return false;
    ::testing::RegisterTest("PrivateKeyring", "LockedAtStart", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new LockedAtStart; });
    ::testing::RegisterTest("PrivateKeyring", "StoppedMidSave", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new StoppedMidSave; });
    return true;
}();

// Runs one child test in a private session bus of its own.
void runChild(const char* name)
{
    if (qEnvironmentVariableIsSet(kChild))
        GTEST_SKIP() << "running as the child";
    for (const char* tool : {"dbus-run-session", "dbus-monitor", "gnome-keyring-daemon"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            GTEST_SKIP() << tool << " missing";
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A session bus without service activation.
    const QString config = home.path() + QStringLiteral("/bus.conf");
    QFile conf(config);
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    conf.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [var, sub] : {std::pair{"HOME", ""}, {"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "/config"},
                                   {"XDG_CACHE_HOME", "/cache"}, {"XDG_RUNTIME_DIR", ""}})
        env.insert(QLatin1String(var), home.path() + QLatin1String(sub));
    for (const char* var : {"GNOME_KEYRING_CONTROL", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QLatin1String(var));
    env.insert(QString::fromLatin1(kChild), QStringLiteral("1"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("dbus-run-session"),
                {QStringLiteral("--config-file=") + config, QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=PrivateKeyring.") + QLatin1String(name)});
    ASSERT_TRUE(child.waitForFinished(100000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

} // namespace

// A locked keyring at start: nothing waits for the user and nothing asks;
// a retry asks once and keeps what is stored.
TEST(PrivateKeyringTest, ALockedKeyringIsReportedAtOnceAndAsksOncePerRetry) { runChild("LockedAtStart"); }

// The keyring stops in the middle of a sign-out's save.
TEST(PrivateKeyringTest, AKeyringStoppedMidSaveLeavesTheSignOutQueued) { runChild("StoppedMidSave"); }
