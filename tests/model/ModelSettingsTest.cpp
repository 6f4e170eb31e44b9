// Loading at start-up: the values every launch forces, when the record is
// written back, and what a blocked Keychain read prevents.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "interaction/HotkeyMonitor.h"

#include <QUrl>

namespace tovrik::test {
namespace {

class ModelSettingsTest : public ModelTest {};

// A file in which every forced value already has its forced form but for
// `changes`, written compactly (the store writes indented JSON) so a rewrite
// would show.
QByteArray fileWith(const QJsonObject& changes = {})
{
    QJsonObject o{{"workerBaseURL", constants::defaultHostedWorkerBaseURL()},
                  {"hostedModel", constants::expertHostedThinkingModel}, {"uiAutopilotMaxSteps", 0},
                  {"voiceShortcut", "control+option"}, {"panelShortcut", "control+shift+option"}, {"isSilentModeEnabled", true}};
    for (auto it = changes.begin(); it != changes.end(); ++it)
        o.insert(it.key(), it.value());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Every origin but a trusted one becomes the default, and the record is
// written back with the unforced values intact; a trusted one stays and the
// file is not touched. (Which origins are trusted is checked on its own.)
TEST_F(ModelSettingsTest, OriginsAreForcedToTrustedOnes)
{
    const QString legacyHost = QUrl(constants::legacyHostedWorkerBaseURL()).host();
    const QString www = QStringLiteral("https://www.") + QUrl(constants::defaultHostedWorkerBaseURL()).host();
    const std::pair<QString, QString> cases[] = {
        {constants::legacyHostedWorkerBaseURL(), constants::defaultHostedWorkerBaseURL()},
        {QStringLiteral(" HTTPS://") + legacyHost.toUpper() + QStringLiteral("/ "), constants::defaultHostedWorkerBaseURL()},
        {QStringLiteral("https://evil.example"), constants::defaultHostedWorkerBaseURL()},
        {QString(), constants::defaultHostedWorkerBaseURL()},
        {www, www},
    };
    for (const auto& [stored, loaded] : cases) {
        QDir(settingsDirectory()).removeRecursively();
        writeSettingsFile(fileWith({{"workerBaseURL", stored}}));
        const QByteArray before = readSettingsFile();
        model.reset();
        auto& m = makeModel();
        EXPECT_EQ(m.settings().workerBaseURL, loaded) << stored.toStdString();
        EXPECT_TRUE(m.hasValidWorkerBaseURL());
        EXPECT_EQ(readSettingsJson().value(QStringLiteral("workerBaseURL")).toString(), loaded);
        EXPECT_TRUE(readSettingsJson().value(QStringLiteral("isSilentModeEnabled")).toBool());
        if (stored == loaded) {
            EXPECT_EQ(readSettingsFile(), before);
        }
    }
}

TEST_F(ModelSettingsTest, ModelStepLimitAndShortcutsAreForcedOnceACustomShortcutKept)
{
    // The custom voice shortcut is kept, in its canonical form.
    writeSettingsFile(fileWith({{"hostedModel", "some-other-model"}, {"uiAutopilotMaxSteps", 25},
                                {"voiceShortcut", "SHIFT+command+K"}, {"panelShortcut", "banana+k"}}));
    auto& m = makeModel();
    EXPECT_EQ(m.settings().hostedModel, QStringLiteral("claude-fable-5"));
    EXPECT_EQ(m.settings().uiAutopilotMaxSteps, 0);
    EXPECT_EQ(m.settings().voiceShortcut, QStringLiteral("shift+command+k"));
    EXPECT_EQ(m.voiceShortcut().text(), QStringLiteral("shift+command+k"));
    EXPECT_EQ(m.settings().panelShortcut, QStringLiteral("control+shift+option"));
    EXPECT_EQ(m.panelShortcut(), ShortcutGesture::defaultPanelShortcut());
    const QByteArray afterFirst = readSettingsFile();
    const QJsonObject saved = QJsonDocument::fromJson(afterFirst).object();
    EXPECT_EQ(saved.value(QStringLiteral("hostedModel")).toString(), QStringLiteral("claude-fable-5"));
    EXPECT_EQ(saved.value(QStringLiteral("uiAutopilotMaxSteps")).toInt(-1), 0);
    EXPECT_EQ(saved.value(QStringLiteral("voiceShortcut")).toString(), QStringLiteral("shift+command+k"));
    EXPECT_EQ(saved.value(QStringLiteral("panelShortcut")).toString(), QStringLiteral("control+shift+option"));
    // The second start finds nothing to force: neither the file nor the
    // keychain is written.
    const int writesBefore = sim->simKeychain().writeCount();
    model.reset();
    makeModel();
    EXPECT_EQ(readSettingsFile(), afterFirst);
    EXPECT_EQ(sim->simKeychain().writeCount(), writesBefore);
}

TEST_F(ModelSettingsTest, BlockedKeychainReadPreventsTheWriteBack)
{
    writeSettingsFile(fileWith({{"workerBaseURL", constants::legacyHostedWorkerBaseURL()}}));
    sim->simKeychain().setItem(SettingsStore::keychainService, QStringLiteral("hostedAccountSessionToken"),
                               "still-valid-token");
    sim->simKeychain().failReadFor(QStringLiteral("hostedAccountSessionToken"));
    const QByteArray before = readSettingsFile();
    auto& m = makeModel();
    EXPECT_TRUE(m.settingsLoadBlockedByKeychain());
    // Forced in memory, but neither the file nor the unread item is touched.
    EXPECT_EQ(m.settings().workerBaseURL, constants::defaultHostedWorkerBaseURL());
    EXPECT_EQ(readSettingsFile(), before);
    EXPECT_EQ(sim->simKeychain().items(SettingsStore::keychainService).value(QStringLiteral("hostedAccountSessionToken")),
              QByteArray("still-valid-token"));
}

TEST_F(ModelSettingsTest, ChangedOnlyOnRealChangesAndAFailedSaveKeepsThePreviousSettings)
{
    auto& m = makeModel();
    int changes = 0;
    QObject::connect(&m, &TovrikAppModel::changed, [&changes]() { ++changes; });
    m.setChatOnlyInput(QStringLiteral("hello"));
    m.setChatOnlyInput(QStringLiteral("hello"));
    m.showAdvancedSettings();
    m.showAdvancedSettings();
    m.setVoiceState(TovrikVoiceState::idle);
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(m.saveSettings(m.settings()));
    EXPECT_EQ(changes, 2);
    changes = 0;
    TovrikSettings next = m.settings();
    next.hostedAccountSessionToken = QStringLiteral("tok");
    next.isSilentModeEnabled = true;
    sim->simKeychain().failAll(true);
    EXPECT_FALSE(m.saveSettings(next));
    EXPECT_FALSE(m.settings().isSilentModeEnabled || m.isHostedAccountSignedIn());
    EXPECT_FALSE(m.settingsStatusMessage().isEmpty());
    EXPECT_EQ(changes, 1); // the status message only
    sim->simKeychain().failAll(false);
    EXPECT_TRUE(m.saveSettings(next));
    EXPECT_TRUE(m.settings().isSilentModeEnabled && m.isHostedAccountSignedIn());
    EXPECT_TRUE(readSettingsJson().value(QStringLiteral("isSilentModeEnabled")).toBool());
}

// (That the constructor asks the service nothing is checked with the account.)
TEST_F(ModelSettingsTest, OnlyLaunchStartsTheHotkeyMonitorWithStoredShortcuts)
{
    writeSettingsFile(fileWith({{"panelShortcut", "command+shift+p"}}));
    auto& m = makeModel();
    drainEvents();
    EXPECT_FALSE(m.hotkeyMonitorActive());
    EXPECT_EQ(sim->simEventTap().activeTapCount(), 0);
    m.launch();
    EXPECT_TRUE(m.hotkeyMonitorActive());
    EXPECT_EQ(sim->simEventTap().threadNames(), QStringList{QStringLiteral("ai.tovrik.mac.hotkey-monitor")});
    {
        std::lock_guard<std::mutex> lock(m.hotkeyMonitor().stateLock);
        EXPECT_EQ(m.hotkeyMonitor().voiceShortcut, ShortcutGesture::defaultVoiceShortcut());
        EXPECT_EQ(m.hotkeyMonitor().panelShortcut.text(), QStringLiteral("shift+command+p"));
    }
    // A monitor that cannot start is reported as off.
    model.reset();
    sim->simEventTap().setStartFails(true);
    makeModel().launch();
    EXPECT_FALSE(model->hotkeyMonitorActive());
}

} // namespace
} // namespace tovrik::test
