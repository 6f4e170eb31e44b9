// Against the real Secret Service (gnome-keyring) that the test command
// starts in a private D-Bus session; skipped when that is not running.

#include "platform/x11/SecretServiceKeychain.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tovrik;
using platform::KeychainStatus;
using platform::x11::SecretServiceKeychain;

namespace {

const QString kService = QStringLiteral("ai.tovrik.mac.credentials");
const QString kBus = QStringLiteral("org.freedesktop.secrets");
const QString kPath = QStringLiteral("/org/freedesktop/secrets");

QString uniqueName(const char* stem)
{
    return QStringLiteral("%1-%2").arg(QLatin1String(stem)).arg(QRandomGenerator::global()->generate64(), 0, 16);
}

QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& args)
{
    auto message = QDBusMessage::createMethodCall(kBus, path, interface, method);
    message.setArguments(args);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 20000);
}

// A throw-away collection, made and locked without any prompt (through
// gnome-keyring's own interface), holding one item filed the way qtkeychain
// files it.
class LockedCollection {
public:
    bool create(const QString& service, const QString& account, QString* error)
    {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QDBusMessage reply;
        const auto ok = [&](const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
            reply = call(path, interface, method, args);
            if (reply.type() != QDBusMessage::ReplyMessage)
                *error = reply.errorName() + ": " + reply.errorMessage();
            return reply.type() == QDBusMessage::ReplyMessage;
        };
        const QString secretService = QStringLiteral("org.freedesktop.Secret.Service");
        if (!ok(kPath, secretService, "OpenSession", {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))}))
            return false;
        const auto session = reply.arguments().value(1).value<QDBusObjectPath>();
        const auto secret = [&](const char* value) { // the Secret Service's (oayays) secret
            QDBusArgument arg;
            arg.beginStructure();
            arg << session << QByteArray() << QByteArray(value) << QStringLiteral("text/plain");
            arg.endStructure();
            return QVariant::fromValue(arg);
        };
        const QVariantMap props{{QStringLiteral("org.freedesktop.Secret.Collection.Label"), uniqueName("tovrik-test")}};
        if (!ok(kPath, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "CreateWithMasterPassword",
                {props, secret("tovrik-test-collection")}))
            return false;
        m_collection = reply.arguments().value(0).value<QDBusObjectPath>().path();
        const QMap<QString, QString> attributes{{"user", account}, {"server", service}, {"type", "plaintext"}};
        const QVariantMap itemProps{{QStringLiteral("org.freedesktop.Secret.Item.Label"), QStringLiteral("test item")},
                                    {QStringLiteral("org.freedesktop.Secret.Item.Attributes"), QVariant::fromValue(attributes)}};
        return ok(m_collection, "org.freedesktop.Secret.Collection", "CreateItem", {itemProps, secret("locked-away"), true})
            && ok(kPath, secretService, "Lock", {QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(m_collection)})});
    }
    ~LockedCollection()
    {
        if (!m_collection.isEmpty())
            call(m_collection, "org.freedesktop.Secret.Collection", "Delete", {});
    }

private:
    QString m_collection;
};

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariable("TOVRIK_TEST_SECRET_SERVICE") != QLatin1String("1"))
            GTEST_SKIP() << "no Secret Service here (run through scripts/with-test-env.sh)";
    }
};

// What another Secret Service client (secret-tool) finds under the
// attributes qtkeychain uses; empty when nothing.
QString secretToolSearch(const QString& service, const QString& account)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("server"),
                                               service, QStringLiteral("user"), account});
    if (!tool.waitForFinished(10000))
        return QStringLiteral("<secret-tool did not finish>");
    return QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
}

} // namespace

TEST_F(SecretServiceTest, ItemLifecycle)
{
    SecretServiceKeychain keychain;
    const QString account = uniqueName("item");
    const QString service = uniqueName("tovrik-test-service");
    EXPECT_EQ(keychain.read(service, account).status, KeychainStatus::NotFound);
    EXPECT_TRUE(SecretServiceKeychain::probeAbsence(service, account).isEmpty());
    const QByteArray binary("token\0with\xff bytes\n", 18);
    ASSERT_TRUE(keychain.write(service, account, binary).ok());
    const auto read = keychain.read(service, account);
    ASSERT_EQ(read.status, KeychainStatus::Success) << read.message.toStdString();
    EXPECT_EQ(read.data, binary);
    // The item is filed under the service and account for other clients too.
    EXPECT_TRUE(secretToolSearch(service, account).contains(QStringLiteral("attribute.user = ") + account));
    // Overwriting keeps one item.
    ASSERT_TRUE(keychain.write(service, account, "second").ok());
    EXPECT_EQ(keychain.read(service, account).data, "second");
    EXPECT_EQ(secretToolSearch(service, account).count(QStringLiteral("attribute.user")), 1);
    // Another account of the same service is a different item.
    EXPECT_EQ(keychain.read(service, account + "-other").status, KeychainStatus::NotFound);
    ASSERT_TRUE(keychain.remove(service, account).ok());
    EXPECT_EQ(keychain.read(service, account).status, KeychainStatus::NotFound);
    // Deleting an absent item succeeds.
    EXPECT_TRUE(keychain.remove(service, account).ok());
}

TEST_F(SecretServiceTest, LockedItemIsNeverReportedAbsent)
{
    const QString account = uniqueName("locked");
    const QString service = uniqueName("tovrik-test-service");
    LockedCollection locked;
    QString error;
    ASSERT_TRUE(locked.create(service, account, &error)) << error.toStdString();
    // libsecret would answer "not found" here (the item is locked); the
    // probe must see that it exists.
    EXPECT_EQ(SecretServiceKeychain::probeAbsence(service, account), QStringLiteral("the item is in a locked keyring"));
    // An account that exists nowhere is still a real absence.
    EXPECT_TRUE(SecretServiceKeychain::probeAbsence(service, account + "-nowhere").isEmpty());
}

TEST_F(SecretServiceTest, StoreSavesSecretsAsItemsOfTheCredentialsService)
{
    SecretServiceKeychain keychain;
    QTemporaryDir dir;
    SettingsStore store(keychain, dir.path() + "/Tovrik");
    // Leave the shared keyring as it was found.
    const auto clear = [&] {
        for (const QString& field : TovrikSettings::secretFieldNames())
            keychain.remove(kService, field);
    };
    clear();
    auto loaded = store.load();
    ASSERT_FALSE(loaded.keychainReadFailed) << loaded.message.toStdString();
    TovrikSettings s = loaded.settings;
    s.hostedAccountEmail = QStringLiteral("ada@example.com");
    s.hostedAccountSessionToken = QStringLiteral("real-keyring-token");
    s.pendingHostedSignOutTokens = {QStringLiteral("revoke-me")};
    const auto saved = store.save(s);
    ASSERT_TRUE(saved.ok) << saved.message.toStdString();
    // (What goes into the file is the store's, checked on its own.)
    EXPECT_EQ(keychain.read(kService, "hostedAccountSessionToken").data, "real-keyring-token");
    EXPECT_TRUE(secretToolSearch(kService, "hostedAccountSessionToken").contains("attribute.server = ai.tovrik.mac.credentials"));
    EXPECT_TRUE(secretToolSearch(kService, "pendingHostedSignOutTokens").contains("attribute.user = pendingHostedSignOutTokens"));
    SettingsStore again(keychain, store.directory());
    EXPECT_EQ(again.load().settings, s);
    // Signing out removes the items.
    s.hostedAccountSessionToken.clear();
    s.pendingHostedSignOutTokens.clear();
    ASSERT_TRUE(again.save(s).ok);
    EXPECT_EQ(keychain.read(kService, "hostedAccountSessionToken").status, KeychainStatus::NotFound);
    EXPECT_EQ(keychain.read(kService, "pendingHostedSignOutTokens").status, KeychainStatus::NotFound);
    // A full disk: the old file stays and the secrets roll back. (One test
    // with the above: both use the one credentials service of the keyring.)
    const QByteArray disk = QFile::encodeName(dir.path() + "/disk");
    ASSERT_EQ(::mkdir(disk.constData(), 0700), 0);
    if (::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs CAP_SYS_ADMIN): " << std::strerror(errno);
    struct Unmount {
        QByteArray at;
        ~Unmount() { ::umount2(at.constData(), MNT_DETACH); }
    } unmount{disk};
    SettingsStore small(keychain, QFile::decodeName(disk) + "/Tovrik");
    ASSERT_FALSE(small.load().keychainReadFailed);
    TovrikSettings first;
    first.hostedAccountEmail = QStringLiteral("first@example.com");
    first.hostedAccountSessionToken = QStringLiteral("first-token");
    ASSERT_TRUE(small.save(first).ok);
    const auto contents = [&] {
        QFile f(small.settingsFilePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray good = contents();
    const QByteArray filler = disk + "/filler";
    const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray block(4096, 'f');
    while (::write(fd, block.constData(), size_t(block.size())) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
    TovrikSettings second = first;
    second.hostedAccountEmail = QStringLiteral("second@example.com");
    second.hostedAccountSessionToken = QStringLiteral("second-token");
    const auto full = small.save(second);
    EXPECT_FALSE(full.ok);
    EXPECT_EQ(full.message, QStringLiteral("Could not save settings: the disk is full."));
    EXPECT_EQ(contents(), good);
    EXPECT_EQ(keychain.read(kService, "hostedAccountSessionToken").data, "first-token");
    EXPECT_EQ(QDir(small.directory()).entryList(QDir::Files), QStringList{SettingsStore::settingsFileName});
    EXPECT_EQ(SettingsStore(keychain, small.directory()).load().settings, first);
    // With room again the same save goes through.
    ASSERT_EQ(::unlink(filler.constData()), 0);
    EXPECT_TRUE(small.save(second).ok);
    EXPECT_EQ(keychain.read(kService, "hostedAccountSessionToken").data, "second-token");
    clear();
}

namespace {

const char* kFreshKeyringChild = "TOVRIK_FRESH_KEYRING_CHILD";

// Runs inside a private session bus whose keyring daemon was started on
// demand for a brand-new home: it has no collection at all.
class FreshKeyringChild : public ::testing::Test {
    void TestBody() override
    {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
        const QDBusMessage alias = call(kPath, "org.freedesktop.Secret.Service", "ReadAlias", {QStringLiteral("default")});
        ASSERT_EQ(alias.type(), QDBusMessage::ReplyMessage) << alias.errorMessage().toStdString();
        // The precondition: there really is no default collection.
        ASSERT_EQ(alias.arguments().value(0).value<QDBusObjectPath>().path(), QStringLiteral("/"));
        SecretServiceKeychain keychain(20000);
        const QString account = QStringLiteral("hostedAccountSessionToken");
        EXPECT_TRUE(SecretServiceKeychain::probeAbsence(kService, account).isEmpty());
        const auto read = keychain.read(kService, account);
        EXPECT_EQ(read.status, KeychainStatus::NotFound) << read.message.toStdString();
    }
};

const bool kFreshKeyringChildRegistered = [] {
    if (!qEnvironmentVariableIsSet(kFreshKeyringChild))
        return false;
    ::testing::RegisterTest("FreshKeyring", "Child", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new FreshKeyringChild; });
    return true;
}();

} // namespace

// A new user's keyring has no default collection yet: that is "nothing
// stored", so the first sign-in can save its session (which creates the
// collection), instead of a keyring failure that blocks every save.
TEST_F(SecretServiceTest, AKeyringWithoutADefaultCollectionHoldsNothing)
{
    if (qEnvironmentVariableIsSet(kFreshKeyringChild))
        GTEST_SKIP() << "running as the child";
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-run-session")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon missing";
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, sub] : {std::pair{"HOME", ""}, {"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "/config"},
                                    {"XDG_CACHE_HOME", "/cache"}, {"XDG_RUNTIME_DIR", ""}})
        env.insert(QLatin1String(name), home.path() + QLatin1String(sub));
    env.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
    env.insert(QString::fromLatin1(kFreshKeyringChild), QStringLiteral("1"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("dbus-run-session"),
                {QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=FreshKeyring.Child")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}
