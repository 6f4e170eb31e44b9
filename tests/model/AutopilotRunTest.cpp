// UI Autopilot runs on the sim backend against the fake hosted service over
// real TLS, on the virtual clock: the step requests, the endings with their
// history turns, recovery, zoom and detail, the watchdog, stale runs, and the
// dispatch of single actions. The take-over by Esc runs on the X server.

#include "ModelTestSupport.h"

#include "autopilot/AutopilotStepRequest.h"
#include "autopilot/DesktopInputService.h"
#include "autopilot/UserInputActivityMonitor.h"
#include "autopilot/UIAutopilotParsing.h"
#include "interaction/AsyncOutcome.h"
#include "interaction/ScreenCaptureService.h"

#include <QElapsedTimer>
#include <QImage>

namespace tovrik::test {
namespace {

using platform::sim::PostedEvent;
using platform::sim::SimDisplays;

QString click(int x, int y, int screen)
{
    return QStringLiteral(R"({"expected_result":"clicked","action":{"type":"click","x":%1,"y":%2,"screen":%3,"label":"OK"}})")
        .arg(x).arg(y).arg(screen);
}
const QString kDoneConfirmed = QStringLiteral(
    R"({"message":"Pressed OK.","verification":{"status":"confirmed","evidence":"the dialog closed"},"action":{"type":"done","success":true,"text":"Pressed OK."}})");
const QString kRecoveryHead = QStringLiteral(
    "The last step failed and input may be partial. Held inputs were released. Inspect the fresh screen; do not "
    "blindly retry. ");

class AutopilotRunTest : public TurnTest {
protected:
    TovrikAppModel& readyAutopilotModel()
    {
        auto& m = launchReadyModel();
        changeSettings([](TovrikSettings& s) { s.isUIAutopilotEnabled = s.isSilentModeEnabled = true; });
        return m;
    }
    // Advances the virtual clock about 20 ms per real millisecond while real
    // network events run, until `done` holds.
    bool drive(const std::function<bool()>& done, double maxVirtual = 120, double step = 0.02)
    {
        QElapsedTimer timer;
        timer.start();
        for (double advanced = 0; !spinUntil(done, 1); advanced += step) {
            if (timer.elapsed() > 60000 || advanced > maxVirtual)
                return false;
            clock.advance(step);
        }
        return true;
    }
    bool driveToEnd() { return drive([this] { return model->interactionTask().isFinished(); }, 600); }
    bool askAndFinish(const QString& text)
    {
        ask(text);
        return driveToEnd();
    }
    QList<PostedEvent> mouseEvents(platform::MouseEventKind kind)
    {
        QList<PostedEvent> out;
        for (const PostedEvent& e : sim->simInput().events())
            if (e.kind == PostedEvent::Kind::Mouse && e.mouseKind == kind)
                out << e;
        return out;
    }
    QList<std::pair<uint16_t, bool>> keyEvents()
    {
        QList<std::pair<uint16_t, bool>> out;
        for (const PostedEvent& e : sim->simInput().events())
            if (e.kind == PostedEvent::Kind::Key)
                out << std::make_pair(e.keyCode, e.down);
        return out;
    }
    QString lastTurnResponse() const { const auto h = model->conversationHistory(); return h.value(h.size() - 1).assistantResponse; }
    void expectRunOver()
    {
        EXPECT_FALSE(model->isUIAutopilotBusy() || model->overlayController()->isUIAutopilotBusy());
        EXPECT_FALSE(model->pendingUIAutopilotMemory() || model->desktopInputService().hasHeldInput()
                     || model->userInputActivityMonitor().isRunning());
    }
};

TEST_F(AutopilotRunTest, ClickThenDoneNeedsConfirmationAndLeavesATurnThenASpokenRequestRuns)
{
    auto& m = readyAutopilotModel();
    fake.queueAutopilotReplies({click(100, 100, 2), QStringLiteral(R"({"action":{"type":"done","text":"Pressed OK."}})"),
                                kDoneConfirmed});
    const int releases = sim->simCapture().releaseCount();
    const double start = clock.now();
    ask(QStringLiteral("press OK"));
    EXPECT_TRUE(m.isUIAutopilotBusy() && m.overlayController()->isUIAutopilotBusy());
    ASSERT_TRUE(driveToEnd());
    // The run's end gives the capture buffers back at once, well before
    // their keep-time after the last capture runs out.
    ASSERT_LT(clock.now() - start, ScreenCaptureService::bufferKeepSeconds);
    EXPECT_EQ(sim->simCapture().releaseCount(), releases + 1);
    const QList<FakeAutopilotRequest> requests = fake.autopilotRequests();
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(requests[0].model, QStringLiteral("claude-fable-5"));
    EXPECT_EQ(requests[0].systemPrompt, AutopilotStepRequest::systemPrompt());
    EXPECT_EQ(requests[0].images.size(), 2);
    // (The request's layout is the step request's, checked there.)
    EXPECT_TRUE(requests[0].transcript.startsWith(QStringLiteral("<task>press OK</task>\n\n<step>1</step>\n\n<history>\n{")));
    EXPECT_TRUE(requests[1].transcript.endsWith(QStringLiteral("\nLast expected result: clicked")));
    EXPECT_TRUE(requests[1].transcript.contains(QStringLiteral("Input dispatched. Held keys: []; mouse: none.")));
    EXPECT_TRUE(requests[2].transcript.contains(
        "\n" + kRecoveryHead + "Completion requires visible confirmation of the last action in verification.evidence.\n"));
    // One left click on screen 2 at its pixel (100, 100).
    const auto downs = mouseEvents(platform::MouseEventKind::Down);
    ASSERT_EQ(downs.size(), 1);
    EXPECT_EQ(downs[0].point, QPointF(1540, 100));
    EXPECT_EQ(mouseEvents(platform::MouseEventKind::Up).size(), 1);
    EXPECT_EQ(m.conversationHistory(), (ConversationHistory{{"press OK", "Pressed OK."}}));
    EXPECT_EQ(m.overlayController()->bubbleText(), QStringLiteral("Pressed OK."));
    EXPECT_TRUE(m.chatOnlyStatusMessage().isEmpty());
    EXPECT_EQ(m.voiceState(), TovrikVoiceState::idle);
    expectRunOver();
    // A spoken request runs too; an unsuccessful done needs no evidence.
    fake.queueAutopilotReplies({QStringLiteral(R"({"action":{"type":"done","success":false}})")});
    holdChord(1.0);
    ASSERT_TRUE(driveToEnd());
    ASSERT_EQ(fake.autopilotRequests().size(), 4);
    EXPECT_TRUE(fake.autopilotRequests()[3].transcript.startsWith(QStringLiteral("<task>hello there</task>")));
    EXPECT_TRUE(fake.requestsTo(QStringLiteral("/tts")).isEmpty());
    EXPECT_EQ(lastTurnResponse(), QStringLiteral("UI Autopilot stopped before completing the task."));
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot did not complete the task."));
    expectRunOver();
}

TEST_F(AutopilotRunTest, CutsByLengthKeepWholeCharacters)
{
    // An emoji (a surrogate pair) straddles each limit: the cut keeps it whole.
    const QString emoji = QStringLiteral("\U0001F600");
    auto& m = readyAutopilotModel();
    m.beginPendingUIAutopilotMemory(QString(1599, 'a') + emoji + QStringLiteral("b"), 7);
    ASSERT_TRUE(m.pendingUIAutopilotMemory());
    EXPECT_EQ(m.pendingUIAutopilotMemory()->prompt, QString(1599, 'a') + emoji);
    m.beginPendingUIAutopilotMemory(QString(), 8); // nothing to keep: the record stays
    EXPECT_EQ(m.pendingUIAutopilotMemory()->interactionVersion, 7u);

    const QString expected = QString(499, 'e') + emoji + QStringLiteral("tail");
    fake.queueAutopilotReplies(
        {QStringLiteral(R"({"expected_result":"%1","action":{"type":"click","x":100,"y":100,"screen":2,"label":"OK"}})")
             .arg(expected),
         QStringLiteral(R"({"action":{"type":"done","success":false}})")});
    ASSERT_TRUE(askAndFinish(QStringLiteral("press OK")));
    const QList<FakeAutopilotRequest> requests = fake.autopilotRequests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_TRUE(requests[1].transcript.endsWith("\nLast expected result: " + QString(499, 'e') + emoji));
}

TEST_F(AutopilotRunTest, ThreeFailuresInARowEndTheRunButADispatchResetsTheCount)
{
    auto& m = readyAutopilotModel();
    // A request that times out is a step failure like the others.
    fake.queueAutopilotReplies({QStringLiteral("no"), click(10, 10, 1), QStringLiteral("no")});
    fake.queueAutopilotResponse(FakeResponse::hanging());
    fake.queueAutopilotReplies({kDoneConfirmed});
    ASSERT_TRUE(askAndFinish(QStringLiteral("go on")));
    ASSERT_EQ(fake.autopilotRequests().size(), 5);
    EXPECT_TRUE(fake.autopilotRequests()[4].transcript.contains(kRecoveryHead + QStringLiteral("request timed out")));
    EXPECT_EQ(lastTurnResponse(), QStringLiteral("Pressed OK."));
    // A status error of the service ends the run at once; the history goes
    // with every request.
    fake.queueAutopilotResponse(FakeResponse::error(500, QStringLiteral("busy"), QStringLiteral("Try later.")));
    fake.queueAutopilotReplies({kDoneConfirmed});
    ASSERT_TRUE(askAndFinish(QStringLiteral("refused")));
    ASSERT_EQ(fake.autopilotRequests().size(), 6);
    EXPECT_EQ(fake.autopilotRequests()[5].history.size(), 1);
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("Try later."));
    ASSERT_TRUE(askAndFinish(QStringLiteral("finish")));
    fake.queueAutopilotReplies({QStringLiteral("no"), QStringLiteral("no"), QStringLiteral("no"), kDoneConfirmed});
    ASSERT_TRUE(askAndFinish(QStringLiteral("give up")));
    EXPECT_EQ(fake.autopilotRequests().size(), 10);
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot did not return a JSON object."));
    EXPECT_EQ(m.chatOnlyInput(), QStringLiteral("give up"));
    EXPECT_EQ(m.conversationHistory().last().userTranscript, m.chatOnlyInput());
    EXPECT_TRUE(lastTurnResponse().startsWith(QStringLiteral(
        "UI Autopilot was interrupted before finishing this task.\nProgress before interruption:\nHistorical run notes "
        "(unverified). Events: 2.\nLast step 2 [indeterminate]: ")));
    expectRunOver();
}

TEST_F(AutopilotRunTest, ADroppedConnectionIsOneStepFailureAndItsRequestArrivesOnce)
{
    auto& m = readyAutopilotModel();
    // The service closes the connection without answering, three steps in a
    // row: each step's request arrives once, and the third failure ends the run.
    for (int i = 0; i < 3; ++i)
        fake.queueAutopilotResponse(FakeResponse::dropped());
    fake.queueAutopilotReplies({kDoneConfirmed});
    ASSERT_TRUE(askAndFinish(QStringLiteral("press OK")));
    const QList<FakeAutopilotRequest> requests = fake.autopilotRequests();
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(fake.pendingAutopilotReplies(), 1);
    EXPECT_TRUE(requests[0].transcript.startsWith(QStringLiteral("<task>press OK</task>\n\n<step>1</step>")));
    for (int step : {1, 2})
        EXPECT_TRUE(requests[step].transcript.contains(kRecoveryHead + QStringLiteral("The remote host closed the connection")))
            << step;
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("The remote host closed the connection"));
    expectRunOver();
}

TEST_F(AutopilotRunTest, ZoomRefusalsThenADetailAndADetailClick)
{
    sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 2560, 1440), 2.0, true)});
    readyAutopilotModel();
    fake.queueAutopilotReplies({
        QStringLiteral(R"({"action":{"type":"zoom","x":2300,"y":10,"width":400,"height":300}})"),
        QStringLiteral(R"({"action":{"type":"zoom","x":10,"y":10,"width":700,"height":300}})"),
        QStringLiteral(R"({"action":{"type":"zoom","x":400,"y":400,"width":320,"height":240}})"),
        QStringLiteral(R"({"action":{"type":"click","x":100,"y":50,"coordinate_space":"detail","label":"icon"}})"),
        kDoneConfirmed,
    });
    ASSERT_TRUE(askAndFinish(QStringLiteral("zoom in")));
    const QList<FakeAutopilotRequest> r = fake.autopilotRequests();
    ASSERT_EQ(r.size(), 5);
    EXPECT_TRUE(r[1].transcript.contains(kRecoveryHead + QStringLiteral("The zoom rectangle must fit inside the overview.")));
    EXPECT_TRUE(r[2].transcript.contains(kRecoveryHead + "Request a smaller detail, at most 1280 native pixels per side."));
    // The step after the granted zoom carries one image more, the detail last.
    EXPECT_EQ(r[2].images.size(), 1);
    ASSERT_EQ(r[3].images.size(), 2);
    EXPECT_EQ(r[3].imageLabels[1], QStringLiteral("DETAIL of screen 1: 640x480 native pixels. Use coordinate_space=detail "
                                                  "for points read from this image. Current decision only."));
    EXPECT_EQ(QImage::fromData(r[3].images[1], "PNG").size(), QSize(640, 480));
    EXPECT_EQ(r[4].images.size(), 1);
    // Detail (100, 50) is native (900, 850), overview (450, 425).
    const auto downs = mouseEvents(platform::MouseEventKind::Down);
    ASSERT_EQ(downs.size(), 1);
    EXPECT_EQ(downs[0].point, QPointF(450, 425));
    EXPECT_EQ(lastTurnResponse(), QStringLiteral("Pressed OK."));
    expectRunOver();
}

TEST_F(AutopilotRunTest, TheSameClickElevenTimesIsWarnedThenStopped)
{
    auto& m = readyAutopilotModel();
    fake.queueAutopilotReplies(QStringList(11, click(300, 200, 1)));
    ASSERT_TRUE(askAndFinish(QStringLiteral("click forever")));
    const QList<FakeAutopilotRequest> r = fake.autopilotRequests();
    ASSERT_EQ(r.size(), 11);
    EXPECT_TRUE(r[7].transcript.contains(QStringLiteral(
        "\nRepeated screen/action cycle. The last proposal was not dispatched. Choose a different strategy or done with "
        "success=false.\n")));
    // Steps 1-6 and 8-10 were dispatched; the 7th was dropped.
    EXPECT_EQ(mouseEvents(platform::MouseEventKind::Down).size(), 9);
    const QString text = QStringLiteral("UI Autopilot stopped after a repeating screen/action cycle without visible progress.");
    EXPECT_EQ(lastTurnResponse(), text);
    EXPECT_EQ(m.overlayController()->bubbleText(), text);
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot did not complete the task."));
    expectRunOver();
}

TEST_F(AutopilotRunTest, StartChecksAndStaleRuns)
{
    auto& m = readyAutopilotModel();
    // A stale version changes nothing.
    const quint64 old = m.beginNewInteractionVersion();
    m.beginNewInteractionVersion();
    EXPECT_TRUE(runToEnd(m.runUIAutopilotInteraction(QStringLiteral("x"), old))->cancelled());
    EXPECT_FALSE(m.isUIAutopilotBusy() || m.pendingUIAutopilotMemory());
    // The monitor cannot start: code 11 after the busy state was set, and the
    // interrupted turn.
    sim->simEventTap().setStartFails(true);
    ASSERT_TRUE(askAndFinish(QStringLiteral("anything")));
    EXPECT_EQ(m.chatOnlyStatusMessage(), QStringLiteral("UI Autopilot could not start its user-interruption monitor."));
    EXPECT_EQ(lastTurnResponse(), QStringLiteral("UI Autopilot was interrupted before finishing this task."));
    EXPECT_TRUE(fake.autopilotRequests().isEmpty());
    expectRunOver();
    sim->simEventTap().setStartFails(false);
    // A newer run starts while this one's request is in flight: this one
    // ends with a cancellation and its clean-up leaves the newer run's busy
    // state, take-over monitor and held key alone.
    fake.queueAutopilotResponse(FakeResponse::eventStream(FakeResponse::chatReplyEvents(click(1, 1, 1), 2)).slowed(300));
    fake.queueAutopilotReplies({QStringLiteral(R"({"action":{"type":"key_down","key":"shift"}})"),
                                QStringLiteral(R"({"action":{"type":"wait","ms":8000}})")});
    ask(QStringLiteral("slow"));
    const TaskHandle older = m.interactionTask();
    ASSERT_TRUE(spinUntil([&] { return fake.autopilotRequests().size() == 1; }));
    auto newer = launch(m.runUIAutopilotInteraction(QStringLiteral("newer"), m.beginNewInteractionVersion()));
    ASSERT_TRUE(drive([&] { return older.isFinished() && fake.autopilotRequests().size() == 3; }));
    EXPECT_TRUE(m.isUIAutopilotBusy() && m.userInputActivityMonitor().isRunning()
                && m.desktopInputService().hasHeldInput());
    EXPECT_TRUE(mouseEvents(platform::MouseEventKind::Down).isEmpty());
    // Switching UI Autopilot off ends the newer run (at its next check:
    // it was started outside the model's interaction task).
    m.setUIAutopilotEnabled(false);
    ASSERT_TRUE(drive([&] { return newer->done; }));
    EXPECT_TRUE(newer->cancelled());
    EXPECT_EQ(m.conversationHistory().last().userTranscript, QStringLiteral("newer"));
    expectRunOver();
    // Signed out and missing permissions are refused before anything shows.
    changeSettings([](TovrikSettings& s) { s.hostedAccountSessionToken = QStringLiteral("  "); });
    auto signedOut = runToEnd(m.runUIAutopilotInteraction(QStringLiteral("x"), m.interactionVersion()));
    ASSERT_TRUE(signedOut->tovrikError());
    EXPECT_EQ(signedOut->tovrikError()->code(), 1);
    EXPECT_FALSE(m.isUIAutopilotBusy());
}

class AutopilotDispatchTest : public AutopilotRunTest {
protected:
    void SetUp() override
    {
        AutopilotRunTest::SetUp();
        readyAutopilotModel();
        version = model->beginNewInteractionVersion();
        auto out = runToEnd(model->screenCaptureService().captureAllScreens(false));
        ASSERT_TRUE(out->value);
        captures = *out->value;
        sim->simInput().clearEvents();
    }
    std::shared_ptr<AsyncOutcome<QString>> perform(const char* json)
    {
        const UIAutopilotAction a = parseUIAutopilotAction(QJsonDocument::fromJson(json).object());
        auto out = launch(model->performUIAutopilotAction(a, captures, version));
        // Fine steps: a resumed pause continues on the next event-loop turn.
        drive([&] { return out->done; }, 30, 0.001);
        return out;
    }
    quint64 version = 0;
    ScreenCapturePayloads captures;
};

TEST_F(AutopilotDispatchTest, DoubleClickOnTheSecondScreen)
{
    model->overlayController()->setUIAutopilotBusy(true);
    auto out = perform(R"({"type":"double_click","x":50,"y":60,"screen":2})");
    ASSERT_TRUE(out->value) << describeException(out->error).toStdString();
    EXPECT_EQ(*out->value, QStringLiteral("Input dispatched. Held keys: []; mouse: none. Verify the visible result in the next screenshot."));
    // (The double click's timing is the input service's, checked there.)
    const auto downs = mouseEvents(platform::MouseEventKind::Down);
    ASSERT_EQ(downs.size(), 2);
    EXPECT_EQ(mouseEvents(platform::MouseEventKind::Up).size(), 2);
    EXPECT_EQ(downs[1].point, QPointF(1490, 60));
    // The model hands the presses to the overlay's autopilot cursor (y up).
    EXPECT_EQ(model->overlayController()->autopilotClickLocation(), QPointF(1490, 840));
}

TEST_F(AutopilotDispatchTest, HeldButtonKeepsItsModifiersAndRefusesOtherActions)
{
    auto down = perform(R"({"type":"mouse_down","x":5,"y":5,"screen":1,"modifiers":"shift"})");
    ASSERT_TRUE(down->value) << describeException(down->error).toStdString();
    EXPECT_EQ(*down->value, QStringLiteral("Input dispatched. Held keys: [56]; mouse: left. Verify the visible result in the next screenshot."));
    auto refused = perform(R"({"type":"click","x":5,"y":5,"screen":1})");
    ASSERT_TRUE(refused->tovrikError());
    EXPECT_EQ(refused->tovrikError()->domain(), QStringLiteral("TovrikInput"));
    EXPECT_EQ(refused->tovrikError()->message(), QStringLiteral("Use move, scroll, wait or mouse_up to finish the held gesture."));
    auto up = perform(R"({"type":"mouse_up"})");
    ASSERT_TRUE(up->value);
    EXPECT_EQ(*up->value, QStringLiteral("Requested held input released. Verify the next screenshot."));
    EXPECT_FALSE(model->desktopInputService().hasHeldInput());
    EXPECT_EQ(keyEvents().last(), std::make_pair(platform::KeyCode::Shift, false));
}

TEST_F(AutopilotDispatchTest, FailuresReleaseTheModifiersTheyPressed)
{
    auto failed = perform(R"({"type":"click","x":5,"y":5,"screen":7,"modifiers":"cmd"})");
    ASSERT_TRUE(failed->tovrikError());
    EXPECT_EQ(failed->tovrikError()->code(), 12);
    EXPECT_EQ(keyEvents(), (QList<std::pair<uint16_t, bool>>{{platform::KeyCode::Command, true},
                                                             {platform::KeyCode::Command, false}}));
    EXPECT_FALSE(model->desktopInputService().hasHeldInput());
    sim->simDisplays().setDisplays({SimDisplays::make(1, QRectF(0, 0, 1440, 900), 2.0, true)});
    drainEvents();
    for (const char* json : {R"({"type":"wait","ms":10})", R"({"type":"done"})"}) {
        auto changed = perform(json);
        ASSERT_TRUE(changed->tovrikError()) << json;
        EXPECT_EQ(changed->tovrikError()->code(), 22);
    }
}

} // namespace
} // namespace tovrik::test
