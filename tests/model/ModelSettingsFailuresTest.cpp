// Settings that cannot be saved or read: each failure is shown where the user
// acted, word for word; a sign-out's save is retried until it lands; a file
// with one wrongly typed value keeps the others. (The unreadable Keychain at
// start is checked with the sign-in screen that shows it.)

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "interaction/HotkeyMonitor.h"

#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::test {
namespace {

const QString kEmail = QStringLiteral("full@b.c");
const QString kTokenItem = QStringLiteral("hostedAccountSessionToken");
const QString kQueueItem = QStringLiteral("pendingHostedSignOutTokens");

class ModelSettingsFailuresTest : public HostedModelTest {
protected:
    QHash<QString, QByteArray> items() const { return sim->simKeychain().items(SettingsStore::keychainService); }
};

// The settings folder on a tmpfs of 256 KiB that a filler file then fills.
class FullDisk {
public:
    // Empty when it is in place; else why not.
    QString mount()
    {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        m_at = QFile::encodeName(m_dir.path());
        if (::mount("tmpfs", m_at.constData(), "tmpfs", 0, "size=256k") != 0)
            return QStringLiteral("cannot mount a tmpfs here (needs CAP_SYS_ADMIN): ") + QString::fromLocal8Bit(std::strerror(errno));
        m_mounted = true;
        m_oldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", m_at);
        return {};
    }
    ~FullDisk()
    {
        if (!m_mounted)
            return;
        qputenv("XDG_DATA_HOME", m_oldDataHome);
        ::umount2(m_at.constData(), MNT_DETACH);
    }
    bool fill()
    {
        const int fd = ::open((m_at + "/filler").constData(), O_WRONLY | O_CREAT, 0600);
        const QByteArray block(4096, 'f');
        while (fd >= 0 && ::write(fd, block.constData(), size_t(block.size())) > 0) {
        }
        const bool full = errno == ENOSPC;
        ::close(fd);
        return full;
    }
    void makeRoom() { ::unlink((m_at + "/filler").constData()); }

private:
    QTemporaryDir m_dir;
    QByteArray m_at;
    QByteArray m_oldDataHome;
    bool m_mounted = false;
};

TEST_F(ModelSettingsFailuresTest, OnAFullDiskEachFailureIsShownAndTheSignOutIsSavedOnceThereIsRoom)
{
    FullDisk disk;
    if (const QString why = disk.mount(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    fake.addAccount(kEmail, QStringLiteral("password1"), 10);
    const QString token = fake.createSession(kEmail);
    storeSignedInSettings(token, kEmail, 10);
    auto& m = makeModel();
    ASSERT_TRUE(m.isHostedAccountSignedIn());
    ASSERT_TRUE(disk.fill());

    // A switch on the settings page: nothing changes, and the page says why.
    m.setUIAutopilotEnabled(true);
    EXPECT_FALSE(m.settings().isUIAutopilotEnabled);
    EXPECT_EQ(m.settingsStatusMessage(), QStringLiteral("Could not save settings: the disk is full."));

    // The sign-out ends the session here and on the service, says on the
    // sign-in screen that it is not saved, and keeps trying.
    m.signOutHostedAccount();
    EXPECT_TRUE(m.requiresAuthentication());
    EXPECT_EQ(m.hostedAuthStatusMessage(), m.settingsStatusMessage());
    EXPECT_TRUE(m.hasOwedSettingsSave());
    ASSERT_TRUE(spinUntil([&] { return m.runningRevocationCount() == 0; }, 10000));
    EXPECT_FALSE(fake.isSessionActive(token));
    advance(TovrikAppModel::owedSaveRetrySeconds + 0.5);
    EXPECT_TRUE(m.hasOwedSettingsSave());
    EXPECT_EQ(items().value(kTokenItem), token.toUtf8()) << "the failed save put the token back";

    // The next try comes twice as late.
    disk.makeRoom();
    advance(TovrikAppModel::owedSaveRetrySeconds);
    EXPECT_TRUE(m.hasOwedSettingsSave());
    advance(TovrikAppModel::owedSaveRetrySeconds + 0.5);
    EXPECT_FALSE(m.hasOwedSettingsSave());
    EXPECT_EQ(m.hostedAuthStatusMessage(), QString());
    EXPECT_FALSE(items().contains(kTokenItem) || items().contains(kQueueItem));
    EXPECT_EQ(readSettingsJson().value(QStringLiteral("hostedAccountEmail")).toString(), QString());
    // Nothing more is retried.
    advance(3 * TovrikAppModel::owedSaveRetrySeconds);
    EXPECT_FALSE(m.hasOwedSettingsSave());
}

TEST_F(ModelSettingsFailuresTest, FailedSavesOfTheVoiceAndShortcutPagesLeaveTheOldChoiceAndSayWhy)
{
    auto& m = makeModel();
    const QString voice = m.settings().elevenLabsVoiceID;
    const ShortcutGesture shortcut = m.voiceShortcut();
    // A file where the settings folder belongs: every save fails.
    QDir(settingsDirectory()).removeRecursively();
    QFile blocker(settingsDirectory());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    m.previewElevenLabsVoice(constants::elevenLabsVoiceOptions().at(1).id);
    EXPECT_EQ(m.settings().elevenLabsVoiceID, voice);
    EXPECT_EQ(m.settingsStatusMessage(), QStringLiteral("Could not save settings: the settings file could not be written."));
    EXPECT_EQ(m.voicePreviewStatusMessage(), m.settingsStatusMessage());
    m.beginVoiceShortcutCapture();
    m.handleShortcutCaptured(ShortcutGesture{ShortcutModifiers::command | ShortcutModifiers::shift, 40});
    EXPECT_EQ(m.voiceShortcut(), shortcut);
    EXPECT_EQ(m.hotkeyMonitor().voiceShortcut, shortcut);
    EXPECT_EQ(m.shortcutCaptureStatusMessage(), m.settingsStatusMessage());
    QFile::remove(settingsDirectory());
}

TEST_F(ModelSettingsFailuresTest, AWronglyTypedValueAtStartKeepsTheOtherSettingsAndRewritesTheFile)
{
    storeSignedInSettings(QStringLiteral("t"), kEmail, 10);
    QJsonObject file = readSettingsJson();
    file.insert(QStringLiteral("isSilentModeEnabled"), QStringLiteral("yes"));
    file.insert(QStringLiteral("keepResponseBubbleVisibleUntilDismissed"), true);
    writeSettingsFile(QJsonDocument(file).toJson());
    auto& m = makeModel();
    EXPECT_TRUE(m.isHostedAccountSignedIn());
    EXPECT_EQ(m.settings().hostedAccountEmail, kEmail);
    EXPECT_TRUE(m.settings().keepResponseBubbleVisibleUntilDismissed);
    EXPECT_FALSE(m.settings().isSilentModeEnabled);
    EXPECT_EQ(m.chatOnlyStatusMessage(),
              QStringLiteral("Some values in the settings file were unreadable; their defaults are in use."));
    EXPECT_TRUE(readSettingsJson().value(QStringLiteral("isSilentModeEnabled")).isBool());
    EXPECT_EQ(QDir(settingsDirectory()).entryList({QStringLiteral("*.corrupt-*")}, QDir::Files).size(), 1);
}

} // namespace
} // namespace tovrik::test
