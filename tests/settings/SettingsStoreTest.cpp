#include "common/Constants.h"
#include "settings/SettingsStore.h"
#include "support/SimFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tovrik;

namespace {

const QString kService = QStringLiteral("ai.tovrik.mac.credentials");

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

TovrikSettings signedIn(const QString& token, const QStringList& pending = {})
{
    TovrikSettings s;
    s.hostedAccountEmail = QStringLiteral("ada@example.com");
    s.hostedAccountSessionToken = token;
    s.pendingHostedSignOutTokens = pending;
    s.hostedAccountCreditsBalance = 1234567;
    s.elevenLabsVoiceID = QStringLiteral("pNInz6obpgDQGcFmaJgB");
    s.isSilentModeEnabled = true;
    s.uiAutopilotMaxSteps = 7;
    s.voiceShortcut = QStringLiteral("command+shift+k");
    return s;
}

class SettingsStoreTest : public test::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_TRUE(dir.isValid());
        store = std::make_unique<SettingsStore>(keychain(), dir.path() + QStringLiteral("/Tovrik"));
        store->setLogSink([this](const QString& line) { logLines << line; });
    }
    platform::sim::SimKeychain& keychain() { return sim->simKeychain(); }
    QString filePath() const { return store->settingsFilePath(); }

    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    QStringList logLines;
};

} // namespace

TEST_F(SettingsStoreTest, DefaultsWithoutFileOrItems)
{
    const auto loaded = store->load();
    EXPECT_FALSE(loaded.keychainReadFailed || loaded.fileWasCorrupt || !loaded.message.isEmpty());
    EXPECT_EQ(loaded.settings, TovrikSettings());
    EXPECT_EQ(loaded.settings.workerBaseURL, constants::defaultHostedWorkerBaseURL());
    EXPECT_EQ(loaded.settings.elevenLabsVoiceID, "kPzsL2i3teMYv0FxEYQ6");
    EXPECT_EQ(loaded.settings.hostedModel, "claude-fable-5");
    EXPECT_EQ(loaded.settings.voiceShortcut, "control+option");
    EXPECT_EQ(loaded.settings.panelShortcut, "control+shift+option");
    EXPECT_FALSE(QFile::exists(filePath()) || !logLines.isEmpty());
    EXPECT_EQ(SettingsStore().settingsFilePath(),
              QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Tovrik/tovrik.settings.json");
}

TEST_F(SettingsStoreTest, SaveWritesFieldNamesButNoSecretOrHistory)
{
    store->load();
    TovrikSettings s = signedIn(QStringLiteral("tok-secret-1"), {QStringLiteral("old-secret-2")});
    s.appendConversationTurn(QStringLiteral("history-question"), QStringLiteral("history-answer"));
    const auto saved = store->save(s);
    ASSERT_TRUE(saved.ok && saved.message.isEmpty()) << saved.message.toStdString();
    const QByteArray bytes = readAll(filePath());
    for (const char* never : {"tok-secret-1", "old-secret-2", "history-", "hostedAccountSessionToken",
                              "pendingHostedSignOutTokens", "conversationHistory"})
        EXPECT_FALSE(bytes.contains(never)) << never;
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    const QStringList expectedKeys = {"elevenLabsVoiceID", "hostedAccountCreditsBalance", "hostedAccountEmail",
                                      "hostedModel", "isSilentModeEnabled", "isTransientCursorModeEnabled",
                                      "isTransparentCursorOverlayEnabled", "isUIAutopilotEnabled",
                                      "keepResponseBubbleVisibleUntilDismissed", "panelShortcut",
                                      "uiAutopilotMaxSteps", "voiceShortcut", "workerBaseURL"};
    EXPECT_EQ(object.keys(), expectedKeys);
    EXPECT_EQ(object.value("hostedAccountEmail").toString(), "ada@example.com");
    EXPECT_EQ(object.value("hostedAccountCreditsBalance").toInteger(), 1234567);
    EXPECT_EQ(object.value("isSilentModeEnabled").toBool(), true);
    EXPECT_EQ(object.value("voiceShortcut").toString(), "command+shift+k");
    // One item per secret, under the service, named after the field.
    const auto items = keychain().items(kService);
    EXPECT_EQ(items.size(), 2);
    EXPECT_EQ(items.value("hostedAccountSessionToken"), "tok-secret-1");
    EXPECT_EQ(QJsonDocument::fromJson(items.value("pendingHostedSignOutTokens")).array(), QJsonArray({"old-secret-2"}));
    // A fresh store reads the same record back (without the history).
    s.conversationHistory.clear();
    EXPECT_EQ(SettingsStore(keychain(), store->directory()).load().settings, s);
    // Empty secrets remove their items; unchanged ones are not written again.
    const TovrikSettings signedOut = signedIn(QString());
    ASSERT_TRUE(store->save(signedOut).ok);
    EXPECT_TRUE(keychain().items(kService).isEmpty());
    const int writes = keychain().writeCount(), removes = keychain().removeCount();
    ASSERT_TRUE(store->save(signedOut).ok);
    EXPECT_EQ(keychain().writeCount(), writes);
    EXPECT_EQ(keychain().removeCount(), removes);
}

TEST_F(SettingsStoreTest, FailureOnSecondItemRollsEverythingBack)
{
    store->load();
    const TovrikSettings before = signedIn(QStringLiteral("token-A"), {QStringLiteral("pending-A")});
    ASSERT_TRUE(store->save(before).ok);
    const QByteArray fileBefore = readAll(filePath());
    const auto itemsBefore = keychain().items(kService);
    TovrikSettings after = signedIn(QStringLiteral("token-B"), {QStringLiteral("pending-B")});
    after.hostedAccountEmail = QStringLiteral("grace@example.com");
    keychain().failNthWrite(2);
    const auto result = store->save(after);
    EXPECT_FALSE(result.ok);
    // The sign-out queue goes first, the token second.
    EXPECT_EQ(result.message, "Could not save settings: the keyring refused the change.");
    EXPECT_EQ(logLines.filter("hostedAccountSessionToken").size(), 1);
    EXPECT_EQ(readAll(filePath()), fileBefore);
    EXPECT_EQ(keychain().items(kService), itemsBefore);
    EXPECT_FALSE(logLines.isEmpty());
    // What is stored is still the previous record.
    EXPECT_EQ(SettingsStore(keychain(), store->directory()).load().settings, before);
    // And the store still knows the restored items: an identical save works.
    ASSERT_TRUE(store->save(before).ok);
    EXPECT_EQ(readAll(filePath()), fileBefore);
}

TEST_F(SettingsStoreTest, UnwritableFileOrFolderRestoresTheSecrets)
{
    store->load();
    ASSERT_TRUE(store->save(signedIn(QStringLiteral("token-A"))).ok);
    const auto itemsBefore = keychain().items(kService);
    // A folder where the file should be makes the final rename fail (this
    // holds for root too, unlike permission bits).
    ASSERT_TRUE(QFile::remove(filePath()));
    ASSERT_TRUE(QDir().mkpath(filePath()));
    const auto result = store->save(signedIn(QStringLiteral("token-B"), {QStringLiteral("p")}));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, "Could not save settings: the settings file could not be written.");
    EXPECT_TRUE(logLines.last().contains(filePath())) << logLines.last().toStdString();
    EXPECT_EQ(keychain().items(kService), itemsBefore);
    EXPECT_EQ(QDir(store->directory()).entryList(QDir::Files), QStringList()); // no temporary file left
    // A file where the folder should be.
    writeFile(dir.path() + "/blocker", "x");
    SettingsStore blocked(keychain(), dir.path() + "/blocker/Tovrik");
    blocked.load();
    EXPECT_FALSE(blocked.save(signedIn(QStringLiteral("token-C"))).ok);
    EXPECT_EQ(keychain().items(kService), itemsBefore);
}

TEST_F(SettingsStoreTest, SaveReplacesTheFileByRename)
{
    // A folder left open by an older version becomes private; the file,
    // which holds the account's e-mail, is 0600 from its creation on.
    ASSERT_TRUE(QDir().mkpath(store->directory()));
    ASSERT_EQ(::chmod(QFile::encodeName(store->directory()).constData(), 0755), 0);
    store->load();
    TovrikSettings s;
    s.hostedAccountEmail = QString(5000, QLatin1Char('e')) + "@example.com";
    const mode_t umaskBefore = ::umask(0);
    ASSERT_TRUE(store->save(s).ok);
    ::umask(umaskBefore);
    struct stat fileStat {}, folderStat {};
    ASSERT_EQ(::stat(QFile::encodeName(filePath()).constData(), &fileStat), 0);
    ASSERT_EQ(::stat(QFile::encodeName(store->directory()).constData(), &folderStat), 0);
    EXPECT_EQ(fileStat.st_mode & 07777, 0600u);
    EXPECT_EQ(folderStat.st_mode & 07777, 0700u);
    const QByteArray first = readAll(filePath());
    // A second name for the old file's inode: a write in place would change
    // what it shows, a new file renamed over the old name does not.
    const QString oldInode = dir.path() + "/old-inode";
    ASSERT_EQ(::link(QFile::encodeName(filePath()).constData(), QFile::encodeName(oldInode).constData()), 0);
    s.hostedAccountEmail = QStringLiteral("short@example.com");
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(readAll(oldInode), first);
    EXPECT_EQ(SettingsStore(keychain(), store->directory()).load().settings.hostedAccountEmail, s.hostedAccountEmail);
    EXPECT_EQ(QDir(store->directory()).entryList(QDir::Files), QStringList({"tovrik.settings.json"}));
}

TEST_F(SettingsStoreTest, CorruptFileIsKeptAsideAPartialOneIsNot)
{
    // Each bad file goes aside under a name of its own (also within the same
    // second), is logged once, and the defaults are used with the secrets.
    keychain().setItem(kService, "hostedAccountSessionToken", "tok");
    TovrikSettings expected;
    expected.hostedAccountSessionToken = QStringLiteral("tok");
    const QList<QByteArray> files = {R"({"hostedAccountEmail": "ada@)", "[1, 2]", R"("just a string")"};
    QStringList backups;
    for (const QByteArray& bad : files) {
        SCOPED_TRACE(bad.constData());
        writeFile(filePath(), bad);
        logLines.clear();
        const auto loaded = store->load();
        EXPECT_TRUE(loaded.fileWasCorrupt && !loaded.message.isEmpty());
        EXPECT_EQ(loaded.settings, expected);
        EXPECT_EQ(logLines.size(), 1);
        EXPECT_FALSE(QFile::exists(filePath()));
        EXPECT_TRUE(loaded.corruptFileBackupPath.startsWith(filePath() + ".corrupt-"));
        EXPECT_FALSE(backups.contains(loaded.corruptFileBackupPath));
        backups << loaded.corruptFileBackupPath;
    }
    for (qsizetype i = 0; i < files.size(); ++i)
        EXPECT_EQ(readAll(backups.value(i)), files[i]);
    // Unknown and secret keys are ignored, missing ones keep their defaults.
    writeFile(filePath(), R"({"isUIAutopilotEnabled": true, "futureSetting": [1],
                             "hostedAccountSessionToken": "from-file", "hostedAccountCreditsBalance": -5})");
    const auto loaded = store->load();
    EXPECT_FALSE(loaded.fileWasCorrupt);
    expected.isUIAutopilotEnabled = true;
    expected.hostedAccountCreditsBalance = -5;
    EXPECT_EQ(loaded.settings, expected);
}

TEST_F(SettingsStoreTest, AWronglyTypedValueResetsOnlyItsOwnField)
{
    // One value of the wrong type: that field is at its default, every
    // other one is read, and a copy of the file is kept beside it.
    const struct {
        const char* bad;
        const char* key;
    } cases[] = {{R"("isSilentModeEnabled": "yes")", "isSilentModeEnabled"},
                 {R"("hostedAccountCreditsBalance": 1.5)", "hostedAccountCreditsBalance"},
                 {R"("uiAutopilotMaxSteps": 3000000000)", "uiAutopilotMaxSteps"},
                 {R"("workerBaseURL": null)", "workerBaseURL"},
                 {R"("voiceShortcut": 12)", "voiceShortcut"}};
    const QByteArray good = R"("hostedAccountEmail": "ada@example.com", "isUIAutopilotEnabled": true,
                               "elevenLabsVoiceID": "pNInz6obpgDQGcFmaJgB", "panelShortcut": "command+shift+p")";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad);
        const QByteArray bytes = "{" + good + ", " + c.bad + "}";
        writeFile(filePath(), bytes);
        const auto loaded = store->load();
        EXPECT_FALSE(loaded.fileWasCorrupt);
        EXPECT_EQ(loaded.wronglyTypedFields, QStringList{c.key});
        EXPECT_EQ(loaded.message, "Some values in the settings file were unreadable; their defaults are in use.");
        EXPECT_EQ(loaded.settings.hostedAccountEmail, "ada@example.com");
        EXPECT_TRUE(loaded.settings.isUIAutopilotEnabled);
        EXPECT_EQ(loaded.settings.elevenLabsVoiceID, "pNInz6obpgDQGcFmaJgB");
        EXPECT_EQ(loaded.settings.panelShortcut, "command+shift+p");
        const TovrikSettings defaults;
        EXPECT_EQ(loaded.settings.isSilentModeEnabled, defaults.isSilentModeEnabled);
        EXPECT_EQ(loaded.settings.hostedAccountCreditsBalance, defaults.hostedAccountCreditsBalance);
        EXPECT_EQ(loaded.settings.uiAutopilotMaxSteps, defaults.uiAutopilotMaxSteps);
        EXPECT_EQ(loaded.settings.workerBaseURL, defaults.workerBaseURL);
        EXPECT_EQ(loaded.settings.voiceShortcut, defaults.voiceShortcut);
        EXPECT_EQ(readAll(filePath()), bytes);
        EXPECT_EQ(readAll(loaded.corruptFileBackupPath), bytes);
    }
}

TEST_F(SettingsStoreTest, BlockedKeychainReadIsReportedAndItemsAreNeverTouched)
{
    keychain().setItem(kService, "hostedAccountSessionToken", "precious-token");
    keychain().setItem(kService, "pendingHostedSignOutTokens", R"(["old"])");
    keychain().failReadFor("hostedAccountSessionToken");
    const auto loaded = store->load();
    EXPECT_TRUE(loaded.keychainReadFailed && !loaded.message.isEmpty());
    EXPECT_TRUE(loaded.settings.hostedAccountSessionToken.isEmpty());
    EXPECT_EQ(loaded.settings.pendingHostedSignOutTokens, QStringList({"old"}));
    EXPECT_TRUE(store->isSecretUnread("hostedAccountSessionToken"));
    EXPECT_FALSE(store->isSecretUnread("pendingHostedSignOutTokens"));
    EXPECT_EQ(logLines.size(), 1);
    // A save of the (token-less) record must not delete the unread item, nor
    // may a store that never loaded.
    ASSERT_TRUE(SettingsStore(keychain(), store->directory()).save(TovrikSettings()).ok);
    TovrikSettings s = loaded.settings;
    s.isSilentModeEnabled = true;
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("hostedAccountSessionToken"), "precious-token");
    // Nor overwrite it while it still cannot be read.
    s.hostedAccountSessionToken = QStringLiteral("new-token");
    const QByteArray fileBefore = readAll(filePath());
    const auto refused = store->save(s);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, "Could not save settings: the keyring could not be read.");
    EXPECT_TRUE(logLines.last().contains("hostedAccountSessionToken")) << logLines.last().toStdString();
    EXPECT_EQ(keychain().items(kService).value("hostedAccountSessionToken"), "precious-token");
    EXPECT_EQ(readAll(filePath()), fileBefore);
    // Once the Keychain answers again, the write goes through, and the
    // session it replaces, which the caller never saw, is queued for sign-out.
    keychain().failReadFor("hostedAccountSessionToken", false);
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("hostedAccountSessionToken"), "new-token");
    EXPECT_EQ(keychain().items(kService).value("pendingHostedSignOutTokens"), R"(["old","precious-token"])");
    EXPECT_FALSE(store->isSecretUnread("hostedAccountSessionToken"));
}

TEST_F(SettingsStoreTest, QueuedSignOutsUnreadAtLoadAreMergedNeverOverwritten)
{
    keychain().setItem(kService, "pendingHostedSignOutTokens", R"(["queued-1","queued-2"])");
    keychain().failReadFor("pendingHostedSignOutTokens");
    const auto loaded = store->load();
    EXPECT_TRUE(loaded.settings.pendingHostedSignOutTokens.isEmpty());
    // Signing out queues a token: refused while the item cannot be read.
    TovrikSettings s = signedIn(QString(), {QStringLiteral("ended")});
    EXPECT_FALSE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("pendingHostedSignOutTokens"), R"(["queued-1","queued-2"])");
    // Readable again: the stored tokens are kept beside the new one, also by
    // later saves of a record that never saw them, until a load gives them out.
    keychain().failReadFor("pendingHostedSignOutTokens", false);
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("pendingHostedSignOutTokens"), R"(["ended","queued-1","queued-2"])");
    s.pendingHostedSignOutTokens.clear(); // "ended" was revoked
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("pendingHostedSignOutTokens"), R"(["queued-1","queued-2"])");
    const auto next = store->load();
    EXPECT_EQ(next.settings.pendingHostedSignOutTokens, QStringList({"queued-1", "queued-2"}));
    s.pendingHostedSignOutTokens = {QStringLiteral("queued-2")}; // "queued-1" was revoked
    ASSERT_TRUE(store->save(s).ok);
    EXPECT_EQ(keychain().items(kService).value("pendingHostedSignOutTokens"), R"(["queued-2"])");
}

TEST_F(SettingsStoreTest, FailedRestoreMakesTheItemUnknown)
{
    store->load();
    ASSERT_TRUE(store->save(signedIn(QStringLiteral("token-A"))).ok);
    // Write 1 (the queue) succeeds, write 2 (token-B) fails, removing the
    // queue again fails too, and so does the read after it.
    keychain().failWriteFor("hostedAccountSessionToken");
    keychain().failRemoveFor("pendingHostedSignOutTokens");
    keychain().failReadFor("pendingHostedSignOutTokens");
    const auto result = store->save(signedIn(QStringLiteral("token-B"), {QStringLiteral("p")}));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(logLines.filter("could not be restored").size(), 1);
    EXPECT_EQ(logLines.filter("could not restore").size(), 1);
    // The store must not believe anything about the queue item now.
    EXPECT_TRUE(store->isSecretUnread("pendingHostedSignOutTokens"));
    // Saving must not delete the item the store knows nothing about: it
    // reads it first, and fails while it cannot.
    keychain().failWriteFor("hostedAccountSessionToken", false);
    keychain().failRemoveFor("pendingHostedSignOutTokens", false);
    EXPECT_FALSE(store->save(signedIn(QString())).ok);
    EXPECT_TRUE(keychain().items(kService).contains("pendingHostedSignOutTokens"));
    // Readable again, it holds only what the caller saw: the save goes through.
    keychain().failReadFor("pendingHostedSignOutTokens", false);
    ASSERT_TRUE(store->save(signedIn(QString())).ok);
    EXPECT_FALSE(keychain().items(kService).contains("pendingHostedSignOutTokens"));
}

namespace {
// Runs `during` once, inside its next write: what a Keychain that spins a
// local event loop makes possible.
class ReentrantKeychain : public platform::sim::SimKeychain {
public:
    platform::KeychainResult write(const QString& s, const QString& a, const QByteArray& d) override
    {
        if (auto run = std::exchange(during, nullptr))
            run();
        return SimKeychain::write(s, a, d);
    }
    std::function<void()> during;
};
} // namespace

TEST_F(SettingsStoreTest, SaveStartedDuringASaveIsRefused)
{
    ReentrantKeychain reentrant;
    SettingsStore shared(reentrant, store->directory());
    shared.load();
    SettingsSaveResult nested;
    reentrant.during = [&] { nested = shared.save(signedIn(QStringLiteral("nested-token"))); };
    const TovrikSettings outer = signedIn(QStringLiteral("outer-token"));
    const auto result = shared.save(outer);
    EXPECT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_FALSE(nested.ok || nested.message.isEmpty());
    EXPECT_EQ(reentrant.items(kService).value("hostedAccountSessionToken"), "outer-token");
    EXPECT_EQ(SettingsStore(reentrant, store->directory()).load().settings, outer);
    // Afterwards the store saves normally again.
    EXPECT_TRUE(shared.save(signedIn(QStringLiteral("later"))).ok);
}
