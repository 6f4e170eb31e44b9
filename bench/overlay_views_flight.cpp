// Cost of the companion cursor view: painting one flight frame (what a
// 60 Hz flight tick repaints: the dirty glyph region of a full-screen
// surface) and one second of an idle companion on two screens.

#include "BenchDesktop.h"
#include "common/Clock.h"
#include "overlay/views/CursorBuddyModel.h"
#include "overlay/views/CursorBuddyView.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <benchmark/benchmark.h>
#include <memory>

using namespace tovrik;
using namespace tovrik::overlay;

namespace {

using bench::ensureApplication;

const QRectF kScreen(0, 0, 2560, 1440);

QPointF globalFromLocal(QPointF local) { return QPointF(local.x(), kScreen.height() - local.y()); }

void BM_OverlayViews_FlightFramePaint(benchmark::State& state)
{
    ensureApplication();
    VirtualClock clock;
    Clock::install(&clock);
    QPointF pointer = globalFromLocal(QPointF(300, 1100));
    CursorBuddyModel model(1, kScreen, [&pointer]() { return pointer; });
    OverlayViewSnapshot snapshot;
    snapshot.voiceState = TovrikVoiceState::responding;
    snapshot.bubbleText = QStringLiteral("that button, top right");
    model.appear(snapshot);
    bool outward = true;
    const auto fly = [&]() {
        snapshot.targetScreenLocation = globalFromLocal(outward ? QPointF(2200, 200) : QPointF(300, 1100));
        outward = !outward;
        model.update(snapshot);
        clock.advance(0.12 - 1.0 / 60.0);
    };
    fly();
    QImage surface(kScreen.size().toSize(), QImage::Format_ARGB32_Premultiplied);
    surface.fill(Qt::transparent);
    CursorBuddyPresentation painted = model.presentation();
    qint64 pixels = 0;
    for (auto _ : state) {
        if (model.buddyNavigationMode() != BuddyNavigationMode::navigatingToTarget) {
            state.PauseTiming();
            fly();
            painted = model.presentation();
            state.ResumeTiming();
        }
        clock.advance(1.0 / 60.0); // one flight tick (and its animation frame)
        const CursorBuddyPresentation next = model.presentation();
        const QRegion dirty = CursorBuddyView::paintedRegion(painted) + CursorBuddyView::paintedRegion(next);
        painted = next;
        QPainter painter(&surface);
        painter.setClipRegion(dirty);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(dirty.boundingRect(), Qt::transparent); // what the backing store clears
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        CursorBuddyView::paintPresentation(painter, next, kScreen.width());
        pixels += qint64(dirty.boundingRect().width()) * dirty.boundingRect().height();
    }
    state.counters["dirty_px_per_frame"] = benchmark::Counter(double(pixels), benchmark::Counter::kAvgIterations);
    Clock::install(nullptr);
}
BENCHMARK(BM_OverlayViews_FlightFramePaint)->Unit(benchmark::kMicrosecond);

// Two screens of 2560 × 1440 with the companion following a still pointer:
// every 0.016 s follow tick of both views for one second of (virtual) time.
void BM_OverlayViews_IdleSecondTwoScreens(benchmark::State& state)
{
    ensureApplication();
    VirtualClock clock;
    Clock::install(&clock);
    const QPointF pointer(700, 700);
    CursorBuddyModel a(1, kScreen, [&pointer]() { return pointer; });
    CursorBuddyModel b(2, kScreen.translated(2560, 0), [&pointer]() { return pointer; });
    OverlayViewSnapshot snapshot;
    snapshot.keepOverlayVisibleWhenIdle = true;
    a.appear(snapshot);
    b.appear(snapshot);
    clock.advance(2.0); // let every animation settle
    int repaints = 0;
    QObject::connect(&a, &CursorBuddyModel::presentationChanged, [&repaints]() { ++repaints; });
    QObject::connect(&b, &CursorBuddyModel::presentationChanged, [&repaints]() { ++repaints; });
    for (auto _ : state)
        clock.advance(1.0);
    state.counters["repaints_per_second"] = benchmark::Counter(double(repaints), benchmark::Counter::kAvgIterations);
    Clock::install(nullptr);
}
BENCHMARK(BM_OverlayViews_IdleSecondTwoScreens)->Unit(benchmark::kMicrosecond);

} // namespace

// The benchmark executable's entry when no other benchmark source brings
// one (a strong definition elsewhere takes precedence).
__attribute__((weak)) int main(int argc, char** argv)
{
    ensureApplication();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
