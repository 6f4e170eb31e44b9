// One UI Autopilot step's local work on a real X server with two 2560x1440
// screens (the shared private Xvfb desktop), the network and the step's fixed
// pauses left out (the fake answers at once; pauses run on a virtual clock):
// capture + JPEG of both displays, the step request's body (memory JSON,
// user message, images in base64), parsing the reply, the watchdog's
// observation (sampled on workers while the request is built, as the loop
// does while it waits for the model; observation_ms is what is left to wait
// for), and the dispatch of a click through XTest. Each iteration
// also measures capture + JPEG alone, so the ratio of the two is measured
// in the same run (goal: at most 1.3).
//
// The observation alone (JPEG decode of both captures, the 320-wide samples
// and the signature, on the calling thread) is measured against a plain
// full decode of the same JPEGs.

#include "BenchDesktop.h"

#include "autopilot/AutopilotDispatch.h"
#include "autopilot/AutopilotLoopWatchdog.h"
#include "autopilot/AutopilotObservation.h"
#include "autopilot/AutopilotStepRequest.h"
#include "autopilot/AutopilotTaskMemory.h"
#include "autopilot/DesktopInputService.h"
#include "autopilot/UIAutopilotParsing.h"
#include "common/Clock.h"
#include "common/Constants.h"
#include "hosted/HostedBackendClient.h"
#include "interaction/ScreenCaptureAttachments.h"
#include "interaction/ScreenCaptureService.h"

#include <QCoreApplication>
#include <QImage>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <chrono>

using namespace tovrik;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `task` to its end, stepping the virtual clock so that its pauses
// take no real time.
template <typename T>
T runOnVirtualClock(VirtualClock& clock, QCoro::Task<T> task)
{
    std::optional<T> result;
    std::exception_ptr error;
    bool done = false;
    auto drive = [](QCoro::Task<T> t, std::optional<T>* out, std::exception_ptr* err, bool* finished) -> QCoro::Task<void> {
        try {
            *out = co_await std::move(t);
        } catch (...) {
            *err = std::current_exception();
        }
        *finished = true;
    };
    auto running = drive(std::move(task), &result, &error, &done);
    // Each turn lets the one pending pause end; the continuation runs on
    // the next event-loop turn.
    while (!done) {
        clock.advance(1.0);
        QCoreApplication::processEvents();
    }
    if (error)
        std::rethrow_exception(error);
    return *result;
}

void BM_AutopilotStep_LocalWorkAgainstCaptureAndJpeg(benchmark::State& state)
{
    QString error;
    if (!bench::ensureTwoScreenDesktop(&error)) {
        state.SkipWithError(error.toUtf8().constData());
        return;
    }
    ScreenCaptureService service;
    DesktopInputService input;
    AutopilotTaskMemory memory;
    AutopilotLoopWatchdog watchdog;
    VirtualClock clock;
    Clock::install(&clock);
    double stepSeconds = 0;
    double referenceSeconds = 0;
    double requestSeconds = 0;
    double observationSeconds = 0;
    double dispatchSeconds = 0;
    int step = 1;
    for (auto _ : state) {
        const auto referenceStart = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(QCoro::waitFor(service.captureAllScreens(false)).size());
        referenceSeconds += secondsSince(referenceStart);

        const auto start = std::chrono::steady_clock::now();
        const ScreenCapturePayloads captures = QCoro::waitFor(service.captureAllScreens(false));
        auto phase = std::chrono::steady_clock::now();
        const AutopilotObservationJob observationJob = startAutopilotObservation(captures);
        const QString message = AutopilotStepRequest::userMessage(QStringLiteral("open the settings"), step,
                                                                  memory.toPromptJSON(), input.inputStateSummary(),
                                                                  QString(), QStringLiteral("Verify the result"));
        const QByteArray body = HostedBackendClient::chatRequestBody(
            constants::expertHostedThinkingModel, makeScreenCaptureAttachments(captures), message, {},
            AutopilotStepRequest::systemPrompt(), AutopilotStepRequest::workload);
        benchmark::DoNotOptimize(body.size());
        requestSeconds += secondsSince(phase);
        const UIAutopilotDecision decision = parseUIAutopilotDecision(
            QStringLiteral(R"({"message":"Opening","expected_result":"menu open","task_state":{"current_goal":"settings"},)"
                           R"("action":{"type":"click","x":%1,"y":%2,"screen":2,"label":"Settings"}})")
                .arg(400 + step % 200)
                .arg(300 + step % 100));
        memory.updateReportedState(decision.taskState ? &*decision.taskState : nullptr, step);
        phase = std::chrono::steady_clock::now();
        watchdog.observe(autopilotActionSignature(decision.action),
                         QCoro::waitFor(finishAutopilotObservation(observationJob)), false, clock.now());
        observationSeconds += secondsSince(phase);
        phase = std::chrono::steady_clock::now();
        AutopilotDispatchContext context;
        context.input = &input;
        context.screens = &service;
        const QString observation =
            runOnVirtualClock(clock, dispatchUIAutopilotAction(decision.action, captures, context));
        dispatchSeconds += secondsSince(phase);
        memory.record(step, decision.message, decision.action.logDescription(), observation);
        benchmark::DoNotOptimize(memory.toResumeSummary().size());
        const double seconds = secondsSince(start);
        stepSeconds += seconds;
        state.SetIterationTime(seconds);
        ++step;
    }
    Clock::install(nullptr);
    state.counters["capture_jpeg_ms"] = 1000.0 * referenceSeconds / double(state.iterations());
    state.counters["step_ms"] = 1000.0 * stepSeconds / double(state.iterations());
    state.counters["ratio"] = stepSeconds / referenceSeconds;
    state.counters["request_ms"] = 1000.0 * requestSeconds / double(state.iterations());
    state.counters["observation_ms"] = 1000.0 * observationSeconds / double(state.iterations());
    state.counters["dispatch_ms"] = 1000.0 * dispatchSeconds / double(state.iterations());
}

void BM_AutopilotStep_ObservationAgainstFullDecode(benchmark::State& state)
{
    QString error;
    if (!bench::ensureTwoScreenDesktop(&error)) {
        state.SkipWithError(error.toUtf8().constData());
        return;
    }
    ScreenCaptureService service;
    const ScreenCapturePayloads captures = QCoro::waitFor(service.captureAllScreens(false));
    UIAutopilotAction action;
    action.kind = UIAutopilotActionKind::click;
    action.imagePoint = QPointF(400, 300);
    action.screenNumber = 2;
    double observationSeconds = 0;
    double decodeSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(autopilotObservationImage(captures).size());
        benchmark::DoNotOptimize(autopilotActionSignature(action).size());
        const double seconds = secondsSince(start);
        observationSeconds += seconds;
        state.SetIterationTime(seconds);

        const auto decodeStart = std::chrono::steady_clock::now();
        for (const ScreenCapturePayload& c : captures)
            benchmark::DoNotOptimize(QImage::fromData(c.imageData, "JPEG").constBits());
        decodeSeconds += secondsSince(decodeStart);
    }
    state.counters["observation_ms"] = 1000.0 * observationSeconds / double(state.iterations());
    state.counters["full_decode_ms"] = 1000.0 * decodeSeconds / double(state.iterations());
    state.counters["ratio"] = observationSeconds / decodeSeconds;
}

} // namespace

BENCHMARK(BM_AutopilotStep_LocalWorkAgainstCaptureAndJpeg)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_AutopilotStep_ObservationAgainstFullDecode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);
