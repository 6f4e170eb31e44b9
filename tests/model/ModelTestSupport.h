#pragma once

// Shared pieces of the model tests: a SimTest whose settings folder starts
// empty, a settings file writer, a few state helpers, and the same with the
// fake hosted service; the turn tests' fixture, a signed-in, ready model on
// the sim backend with two displays, holding and releasing the voice chord as
// the user does (raw key events through the event tap plus the physical key
// state the release watchdog reads).

#include "interaction/AudioRecorderService.h"
#include "model/TovrikAppModel.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Types.h"
#include "settings/SettingsStore.h"
#include "support/FakeHostedService.h"
#include "support/SimFixture.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <memory>

namespace tovrik::test {

class ModelTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        QDir(settingsDirectory()).removeRecursively();
    }
    void TearDown() override
    {
        model.reset();
        SimTest::TearDown();
        QDir(settingsDirectory()).removeRecursively();
    }
    static QString settingsDirectory()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Tovrik");
    }
    static QString settingsFilePath() { return settingsDirectory() + QStringLiteral("/tovrik.settings.json"); }
    static void writeSettingsFile(const QByteArray& bytes)
    {
        QDir().mkpath(settingsDirectory());
        QFile file(settingsFilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    static QByteArray readSettingsFile()
    {
        QFile file(settingsFilePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static QJsonObject readSettingsJson() { return QJsonDocument::fromJson(readSettingsFile()).object(); }
    // Stores a session directly through a store of its own (the state a
    // previous launch left behind).
    void storeSignedInSettings(const QString& token = QStringLiteral("session-token-1"),
                               const QString& email = QStringLiteral("a@b.c"), qint64 credits = 40)
    {
        SettingsStore store;
        TovrikSettings settings = store.load().settings;
        settings.hostedAccountSessionToken = token;
        settings.hostedAccountEmail = email;
        settings.hostedAccountCreditsBalance = credits;
        ASSERT_TRUE(store.save(settings).ok);
    }
    // Saves the model's settings as `change` leaves them.
    template <typename Change>
    void changeSettings(Change change)
    {
        TovrikSettings s = model->settings();
        change(s);
        ASSERT_TRUE(model->saveSettings(s));
    }
    TovrikAppModel& makeModel() { return *(model = std::make_unique<TovrikAppModel>()); }
    void setPermissions(bool accessibility, bool screenRecording,
                        platform::MicrophoneAuthorization microphone = platform::MicrophoneAuthorization::Authorized,
                        bool microphoneDevice = true)
    {
        auto& p = sim->simPermissions();
        p.accessibility = accessibility;
        p.screenRecording = screenRecording;
        p.microphone = microphone;
        p.microphoneDevice = microphoneDevice;
        if (model)
            model->refreshPermissions();
    }
    std::unique_ptr<TovrikAppModel> model;
};

// A ModelTest talking to the fake hosted service over real TLS.
class HostedModelTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        ASSERT_TRUE(fake.start()) << fake.lastError().toStdString();
        fake.install();
    }
    void TearDown() override
    {
        model.reset();
        drainEvents();
        fake.stop();
        fake.uninstall();
        ModelTest::TearDown();
    }
    FakeHostedService fake;
};

class TurnTest : public HostedModelTest {
protected:
    static constexpr uint16_t kKeyControl = 59, kKeyOption = 58;
    inline static const QString kEmail = QStringLiteral("turn@b.c");
    void SetUp() override
    {
        HostedModelTest::SetUp();
        if (HasFatalFailure())
            return;
        fake.addAccount(kEmail, QStringLiteral("password1"), 100);
        sessionToken = fake.createSession(kEmail);
        storeSignedInSettings(sessionToken, kEmail, 100);
        using platform::sim::SimDisplays;
        sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true),
                                        SimDisplays::make(2, QRectF(1440, 0, 1920, 1080), 1.0)});
        sim->simDisplays().setPointerLocation(QPointF(200, 200));
        setPermissions(true, true);
    }
    // A launched model whose start-up account refresh is over; the fake's
    // records start empty.
    TovrikAppModel& launchReadyModel()
    {
        auto& m = makeModel();
        m.setOpenSettingsHandler([this]() { ++settingsOpened; });
        m.launch();
        EXPECT_TRUE(m.hotkeyMonitorActive());
        EXPECT_TRUE(spinUntil([this]() { return fake.requestsTo(QStringLiteral("/auth/me")).size() == 1; }, 10000));
        drainEvents();
        fake.clearRecords();
        return m;
    }
    void pressChord()
    {
        sim->simInput().setPhysicalModifiers(platform::ModControl | platform::ModOption);
        sim->simEventTap().injectFlags(kKeyControl, platform::ModControl);
        sim->simEventTap().injectFlags(kKeyOption, platform::ModControl | platform::ModOption);
        drainEvents();
    }
    void releaseChord()
    {
        sim->simInput().setPhysicalModifiers(0);
        sim->simEventTap().injectFlags(kKeyOption, platform::ModControl);
        sim->simEventTap().injectFlags(kKeyControl, 0);
        drainEvents();
    }
    // Holds the chord for `seconds` of virtual time while the microphone
    // hears a tone; returns the recording's path.
    QString holdChord(double seconds)
    {
        pressChord();
        const QString path = model->audioRecorderService().currentFilePath();
        sim->simAudioInput().feedTone(std::min(seconds, 2.0), 0.5);
        advance(seconds);
        releaseChord();
        return path;
    }
    void ask(const QString& text)
    {
        model->setChatOnlyInput(text);
        model->sendChatOnlyMessage();
    }
    // A chat reply streamed in three pieces `intervalMs` apart (real time).
    void setSlowChatReply(const QString& text, int intervalMs)
    {
        fake.setHandler("POST", QStringLiteral("/chat"), [text, intervalMs](const FakeRequest&) {
            return FakeResponse::eventStream(FakeResponse::chatReplyEvents(text, 3)).slowed(intervalMs);
        });
    }
    bool waitForRequests(const QString& path, int count, int timeoutMs = 15000)
    {
        return spinUntil([&]() { return fake.requestsTo(path).size() >= count; }, timeoutMs);
    }
    // Lets the playing answer end and waits until the turn is over.
    bool finishSpeechAndWait(int timeoutMs = 15000)
    {
        if (!spinUntil([this]() { return sim->simAudioOutput().playingCount() > 0; }, timeoutMs))
            return false;
        sim->simAudioOutput().finishAll();
        return waitForTurnEnd(timeoutMs);
    }
    bool waitForTurnEnd(int timeoutMs = 15000) { return spinUntil([this] { return model->interactionTask().isFinished(); }, timeoutMs); }
    static QJsonObject lastJson(const QList<FakeRequest>& requests) { return requests.isEmpty() ? QJsonObject() : requests.last().json(); }
    // The index of the first request to `path` in arrival order, -1 if none.
    int arrivalIndex(const QString& path) const
    {
        const QList<FakeRequest> all = fake.requests();
        const auto it = std::find_if(all.begin(), all.end(), [&](const FakeRequest& r) { return r.path == path; });
        return it == all.end() ? -1 : int(it - all.begin());
    }
    QString sessionToken;
    int settingsOpened = 0;
};

} // namespace tovrik::test
