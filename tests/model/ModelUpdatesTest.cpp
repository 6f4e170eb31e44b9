// "Check for updates" on the model against the fake hosted service over real
// TLS: the status texts in order, the install question, the busy guard and
// the short error texts.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "updater/MacUpdateService.h"

#include <QCryptographicHash>

using namespace tovrik;
using namespace tovrik::test;

namespace {

class ModelUpdatesTest : public HostedModelTest {
protected:
    void SetUp() override
    {
        HostedModelTest::SetUp();
        if (HasFatalFailure())
            return;
        const QByteArray package(1000, 'z');
        manifest = QJsonObject{
            {"platform", "macos"}, {"version", "1.10.16 (121)"}, {"appVersion", "1.10.15"}, {"bundleBuild", "121"},
            {"bundleIdentifier", "ai.tovrik.mac"}, {"teamIdentifier", constants::macOSDeveloperTeamIdentifier()},
            {"fileName", ""}, {"storedFileName", ""}, {"downloadUrl", constants::defaultHostedWorkerBaseURL() + "/pkg"},
            {"assetUrl", ""}, {"sizeBytes", 1000}, {"publishedAt", ""}, {"mandatory", false},
            {"sha256", QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex())}};
        fake.setHandler("GET", "/api/downloads/macos/latest", [this](const FakeRequest&) { return FakeResponse::json(200, manifest); });
        fake.setHandler("GET", "/pkg", [package](const FakeRequest&) { return FakeResponse::raw(200, "", package); });
        TovrikAppModel& m = makeModel();
        QObject::connect(&m, &TovrikAppModel::changed, [this, &m] {
            if (lastStatus != m.updateStatusMessage())
                statuses << (lastStatus = m.updateStatusMessage());
        });
        m.setUpdateConfirmation([this](const QString& message, const QString& informative) {
            questions << message << informative;
            return answer;
        });
    }
    void checkAndWait()
    {
        model->checkForUpdates();
        ASSERT_TRUE(spinUntil([this] { return model->isUpdateCheckBusy(); }, 2000));
        model->checkForUpdates(); // ignored while busy
        ASSERT_TRUE(spinUntil([this] { return !model->isUpdateCheckBusy(); }, 10000));
    }

    QJsonObject manifest;
    QStringList statuses, questions;
    QString lastStatus;
    bool answer = true;
};

} // namespace

TEST_F(ModelUpdatesTest, InstallRunsCheckQuestionDownloadAndHandOffInOrder)
{
    checkAndWait();
    EXPECT_EQ(questions, (QStringList{"Tovrik 1.10.16 (121) is available.",
                                      "Current version: " + constants::macOSDesktopAssetVersion
                                          + "\nLatest version: 1.10.16 (121)\n\nInstall it now? Tovrik will restart."}));
    // This test runs outside an installed bundle: the hand-off says so.
    EXPECT_EQ(statuses, (QStringList{"Checking latest version...", "Update available: 1.10.16 (121).",
                                     "Downloading update...", "Downloading update... 0%", "Downloading update... 72%",
                                     "Downloading update... 100%", "Installing update...",
                                     "Update install failed: Tovrik is not running from an installed bundle."}));
    EXPECT_EQ(fake.requestsTo("/api/downloads/macos/latest").size(), 1);
    EXPECT_EQ(fake.requestsTo("/pkg").size(), 1);
    const QString log = QString::fromUtf8([] {
        QFile f(update::updateLogURL());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }());
    EXPECT_TRUE(log.endsWith("] installing: MacUpdateError: Tovrik is not running from an installed bundle.\n"));
}

TEST_F(ModelUpdatesTest, NotNowSkipsAndAnotherCheckMayStartAtOnce)
{
    answer = false;
    checkAndWait();
    EXPECT_EQ(statuses.last(), "Update available. Install skipped.");
    EXPECT_TRUE(fake.requestsTo("/pkg").isEmpty());
    // Build 121 published with an older marketing version: up to date.
    statuses.clear();
    fake.setHandler("GET", "/api/downloads/macos/latest", [this](const FakeRequest&) {
        QJsonObject m = manifest;
        m.insert("appVersion", "1.9.0");
        return FakeResponse::json(200, m);
    });
    checkAndWait();
    EXPECT_EQ(statuses, (QStringList{"Checking latest version...", "Up to date: " + constants::macOSDesktopAssetVersion + "."}));
    statuses.clear();
    fake.setHandler("GET", "/api/downloads/macos/latest", [](const FakeRequest&) { return FakeResponse::error(500, "", ""); });
    fake.setHandler("GET", "/downloads/macos-latest.json", [](const FakeRequest&) { return FakeResponse::error(404, "", ""); });
    checkAndWait();
    const QString last = statuses.last();
    EXPECT_TRUE(last.startsWith("Update check failed: No update manifest endpoint was reachable. Last error: Update m"));
    EXPECT_TRUE(last.endsWith("..."));
    EXPECT_EQ(last.size(), QString("Update check failed: ").size() + 95);
}

TEST_F(ModelUpdatesTest, ShortErrorTexts)
{
    const auto shortText = [](const QString& message) {
        return TovrikAppModel::shortUpdateErrorDescription(std::make_exception_ptr(MacUpdateError(message)));
    };
    EXPECT_EQ(shortText(" \n\t"), "see update log.");
    EXPECT_EQ(shortText(QString(95, 'a')), QString(95, 'a'));
    EXPECT_EQ(shortText(QString(96, 'a')), QString(92, 'a') + "...");
    // Characters are what a reader sees: an accented letter of two code points counts once.
    const QString accented = QString("e") + QChar(0x0301);
    EXPECT_EQ(shortText(accented.repeated(95)), accented.repeated(95));
    EXPECT_EQ(shortText(accented.repeated(96)), accented.repeated(92) + "...");
}
