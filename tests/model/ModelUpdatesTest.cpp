// "Check for updates" on the model against the fake hosted service over real
// TLS: the status texts in order, the install question, the busy guard and
// the short error texts.

#include "ModelTestSupport.h"

#include "common/Constants.h"
#include "updater/MacUpdateService.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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
            {"platform", "linux"}, {"version", "1.10.16 (121)"}, {"appVersion", "1.10.15"}, {"bundleBuild", "121"},
            {"bundleIdentifier", "ai.tovrik.mac"}, {"teamIdentifier", constants::macOSDeveloperTeamIdentifier()},
            {"fileName", ""}, {"storedFileName", ""}, {"downloadUrl", constants::defaultHostedWorkerBaseURL() + "/pkg"},
            {"assetUrl", ""}, {"sizeBytes", 1000}, {"publishedAt", ""}, {"mandatory", false},
            {"sha256", QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex())}};
        fake.setHandler("GET", "/api/downloads/linux/latest", [this](const FakeRequest&) { return FakeResponse::json(200, manifest); });
        fake.setHandler("GET", "/pkg", [package](const FakeRequest&) { return FakeResponse::raw(200, "", package); });
        TovrikAppModel& m = makeModel();
        QObject::connect(&m, &TovrikAppModel::changed, [this, &m] {
            if (lastStatus != m.updateStatusMessage())
                statuses << (lastStatus = m.updateStatusMessage());
            // A click while busy, made the moment the check starts (however
            // fast it runs), changes nothing.
            if (m.isUpdateCheckBusy() && !sawBusy) {
                sawBusy = true;
                m.checkForUpdates();
            }
        });
        m.setUpdateConfirmation([this](const QString& message, const QString& informative) {
            questions << message << informative;
            return answer;
        });
        // An installed bundle of build 120 with a pinned key; the swap
        // script's shell is recorded instead of started.
        MacUpdateService& service = m.macUpdateService();
        service.setBundle({bundle, {{"CFBundleShortVersionString", "1.10.15"}, {"CFBundleVersion", "120"}}});
        service.setTeamPublicKey("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----");
        service.setLauncher([this](const QString& program, const QStringList& arguments) {
            launched = QStringList{program} + arguments;
            return true;
        });
        service.setQuitHandler([this] { quit = true; });
    }
    void TearDown() override
    {
        QDir(QFileInfo(bundle).absolutePath()).removeRecursively();
        HostedModelTest::TearDown();
    }
    void checkAndWait()
    {
        sawBusy = false;
        model->checkForUpdates();
        ASSERT_TRUE(spinUntil([this] { return sawBusy && !model->isUpdateCheckBusy(); }, 10000));
        drainEvents(); // a second check would have been queued by now
        EXPECT_FALSE(model->isUpdateCheckBusy());
    }

    static QByteArray readLog()
    {
        QFile f(update::updateLogURL());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    const QString bundle = QDir::tempPath() + "/tovrik-model-updates-" + QString::number(QCoreApplication::applicationPid()) + "/Tovrik.app";
    QStringList launched;
    bool quit = false;
    QJsonObject manifest;
    QStringList statuses, questions;
    QString lastStatus;
    bool answer = true;
    bool sawBusy = false;
};

} // namespace

TEST_F(ModelUpdatesTest, InstallRunsCheckQuestionDownloadAndHandOffInOrder)
{
    checkAndWait();
    EXPECT_EQ(questions, (QStringList{"Tovrik 1.10.16 (121) is available.",
                                      "Current version: " + constants::macOSDesktopAssetVersion
                                          + "\nLatest version: 1.10.16 (121)\n\nInstall it now? Tovrik will restart."}));
    EXPECT_EQ(statuses, (QStringList{"Checking latest version...", "Update available: 1.10.16 (121).",
                                     "Downloading update...", "Downloading update... 0%", "Downloading update... 72%",
                                     "Downloading update... 100%", "Installing update..."}));
    EXPECT_EQ(fake.requestsTo("/api/downloads/linux/latest").size(), 1);
    EXPECT_EQ(fake.requestsTo("/pkg").size(), 1);
    ASSERT_EQ(launched.size(), 3);
    EXPECT_EQ(launched.mid(0, 2), (QStringList{"/bin/zsh", "-lc"}));
    EXPECT_TRUE(launched[2].contains("'" + bundle + "'")) << launched[2].toStdString();
    EXPECT_FALSE(quit);
    advance(0.5);
    EXPECT_TRUE(quit);
}

// A check still queued when the model goes (a quit right after the click)
// starts nothing while the model is taken apart.
TEST_F(ModelUpdatesTest, ACheckQueuedAsTheModelGoesStartsNothing)
{
    model->checkForUpdates();
    model.reset();
    drainEvents();
    EXPECT_TRUE(statuses.isEmpty()) << statuses.join(", ").toStdString();
    EXPECT_TRUE(fake.requestsTo("/api/downloads/linux/latest").isEmpty());
}

// A build that cannot install says so with the check's answer: no question,
// no download.
TEST_F(ModelUpdatesTest, ABuildThatCannotInstallSaysSoBeforeDownloading)
{
    const QString outside = "This build cannot install updates (not an installed bundle).";
    const QString keyless = "This build cannot install updates (no pinned update key).";
    const struct {
        const char* name;
        update::BundleInfo bundle;
        QString reason;
    } cases[] = {
        {"outside a bundle", {}, outside},
        {"no pinned key", {bundle, {{"CFBundleShortVersionString", "1.10.15"}, {"CFBundleVersion", "120"}}}, keyless},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        statuses.clear();
        model->macUpdateService().setBundle(c.bundle);
        model->macUpdateService().setTeamPublicKey(QString());
        checkAndWait();
        EXPECT_EQ(statuses, (QStringList{"Checking latest version...", "Update available: 1.10.16 (121).",
                                         "Update available: 1.10.16 (121). " + c.reason}));
        EXPECT_TRUE(questions.isEmpty());
        EXPECT_TRUE(fake.requestsTo("/pkg").isEmpty());
        EXPECT_TRUE(QString::fromUtf8(readLog()).endsWith("] installing: MacUpdateError: " + c.reason + "\n"));
    }
}

// The install question as the user sees it: the manifest's texts shown as
// plain characters, the two buttons in order with the first as default.
TEST_F(ModelUpdatesTest, TheInstallQuestionShowsManifestTextsPlainWithItsTwoButtons)
{
    const QString markup = "<h1 style='color:red'>Security check failed</h1> re-enter your password at <a href='x'>x</a>";
    manifest.insert("version", markup);
    model->setUpdateConfirmation({}); // the real question
    QStringList shown, buttons;
    QString defaultButton;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        answer.stop();
        for (QLabel* label : box->findChildren<QLabel*>())
            if (label->text().contains("Security check"))
                shown << label->text() + (label->textFormat() == Qt::PlainText ? " [plain]" : " [not plain]");
        for (QAbstractButton* button : box->buttons())
            buttons << button->text();
        defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == "Not now")
                button->click();
    });
    answer.start(20);
    checkAndWait();
    EXPECT_EQ(shown, (QStringList{"Tovrik " + markup + " is available. [plain]",
                                  "Current version: " + constants::macOSDesktopAssetVersion + "\nLatest version: " + markup
                                      + "\n\nInstall it now? Tovrik will restart. [plain]"}));
    EXPECT_EQ(buttons, (QStringList{"Install and restart", "Not now"}));
    EXPECT_EQ(defaultButton, "Install and restart");
    EXPECT_EQ(statuses.last(), "Update available. Install skipped.");
}

TEST_F(ModelUpdatesTest, NotNowSkipsAndAnotherCheckMayStartAtOnce)
{
    answer = false;
    checkAndWait();
    EXPECT_EQ(statuses.last(), "Update available. Install skipped.");
    EXPECT_TRUE(fake.requestsTo("/pkg").isEmpty());
    // Build 121 published with an older marketing version: up to date.
    statuses.clear();
    fake.setHandler("GET", "/api/downloads/linux/latest", [this](const FakeRequest&) {
        QJsonObject m = manifest;
        m.insert("appVersion", "1.9.0");
        return FakeResponse::json(200, m);
    });
    checkAndWait();
    EXPECT_EQ(statuses, (QStringList{"Checking latest version...", "Up to date: " + constants::macOSDesktopAssetVersion + "."}));
    statuses.clear();
    fake.setHandler("GET", "/api/downloads/linux/latest", [](const FakeRequest&) { return FakeResponse::error(500, "", ""); });
    fake.setHandler("GET", "/downloads/linux-latest.json", [](const FakeRequest&) { return FakeResponse::error(404, "", ""); });
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
