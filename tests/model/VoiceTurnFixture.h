#pragma once

// The turn tests' fixture: a signed-in, ready model on the sim backend with
// two displays, talking to the fake hosted service over real TLS; helpers to
// hold and release the voice chord as the user does (raw key events through
// the event tap plus the physical key state the release watchdog reads).

#include "ModelTestSupport.h"

#include "interaction/AudioRecorderService.h"
#include "overlay/OverlayWindowController.h"
#include "platform/Types.h"

#include <QJsonArray>
#include <QJsonObject>

namespace tovrik::test {

class TurnTest : public HostedModelTest {
protected:
    static constexpr uint16_t kKeyControl = 59;
    static constexpr uint16_t kKeyOption = 58;
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
    bool waitForTurnEnd(int timeoutMs = 15000)
    {
        return spinUntil([this]() { return model->interactionTask().isFinished(); }, timeoutMs);
    }
    static QJsonObject lastJson(const QList<FakeRequest>& requests)
    {
        return requests.isEmpty() ? QJsonObject() : requests.last().json();
    }
    // The index of the first request to `path` in arrival order, -1 if none.
    int arrivalIndex(const QString& path) const
    {
        const QList<FakeRequest> all = fake.requests();
        for (int i = 0; i < all.size(); ++i)
            if (all[i].path == path)
                return i;
        return -1;
    }

    QString sessionToken;
    int settingsOpened = 0;
};

} // namespace tovrik::test
