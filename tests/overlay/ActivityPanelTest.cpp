// The agent activity panel (controller rules, placement and resize, view
// texts, progress sweep) and the pointer glyph of its tile.

#include "PaintedImage.h"
#include "overlay/AgentActivityWindowController.h"
#include "overlay/views/AgentActivityView.h"
#include "overlay/views/TovrikMenuBarPointerShape.h"
#include "support/SimFixture.h"

#include <QImage>
#include <QLineF>
#include <gtest/gtest.h>
#include <tuple>

using namespace tovrik;
using namespace tovrik::overlay;
using Controller = AgentActivityWindowController;

TEST(MenuBarPointerShape, FourSharpVerticesScaledPerAxis)
{
    const std::pair<QRectF, QList<QPointF>> cases[] = {
        {QRectF(0, 0, 22, 22), {{16.84375, 4.8125}, {11.859375, 18.21875}, {9.69375, 13.13125}, {4.46875, 10.896875}}},
        {QRectF(0, 0, 100, 100), {{76.5625, 21.875}, {53.90625, 82.8125}, {44.0625, 59.6875}, {20.3125, 49.53125}}},
        {QRectF(10, 20, 200, 50), {{163.125, 30.9375}, {117.8125, 61.40625}, {98.125, 49.84375}, {50.625, 44.765625}}},
    };
    for (const auto& [rect, vertices] : cases) {
        const QPainterPath path = TovrikMenuBarPointerShape::path(rect);
        // A move, three straight lines and the line closing back to the tip:
        // no curves, so every corner is sharp.
        ASSERT_EQ(path.elementCount(), 5);
        for (int i = 0; i < 5; ++i) {
            const auto e = path.elementAt(i);
            EXPECT_EQ(e.type, i == 0 ? QPainterPath::MoveToElement : QPainterPath::LineToElement);
            EXPECT_NEAR(QLineF(QPointF(e), vertices[i % 4]).length(), 0, 1e-9) << i;
        }
    }
    // A zero-sized rectangle collapses to the origin and draws nothing.
    const QPainterPath none = TovrikMenuBarPointerShape::path(QRectF());
    EXPECT_TRUE(none.boundingRect().isEmpty());
    EXPECT_EQ(none.boundingRect().topLeft(), QPointF(0, 0));
}

TEST(ActivityPanel, PlacementKeepsTheTopRightCorner18PointsInside)
{
    platform::DisplayInfo screen;
    screen.frame = QRectF(0, 0, 1440, 900);
    screen.visibleFrame = QRectF(0, 0, 1440, 875);
    screen.isMain = true;
    const std::tuple<QList<platform::DisplayInfo>, bool, QRectF> cases[] = {
        {{screen}, true, QRectF(1046, 619, 376, 238)},
        {{screen}, false, QRectF(1380, 815, 42, 42)},
        {{}, true, QRectF(506, 444, 376, 238)},
        {{}, false, QRectF(840, 640, 42, 42)},
    };
    for (const auto& [screens, expanded, frame] : cases) {
        const QRectF placement = Controller::placementFrame(std::nullopt, screens, QPointF(5000, 5000));
        EXPECT_EQ(Controller::panelFrame(expanded ? Controller::expandedSize : Controller::collapsedSize, placement), frame);
    }
    // The anchor wins; else the screen under the pointer; else the main one.
    platform::DisplayInfo side = screen;
    side.frame = QRectF(1440, 0, 800, 600);
    side.visibleFrame = QRectF(1440, 0, 800, 580);
    side.isMain = false;
    EXPECT_EQ(Controller::placementFrame(std::nullopt, {screen, side}, QPointF(1500, 10)), side.visibleFrame);
    EXPECT_EQ(Controller::placementFrame(std::nullopt, {side, screen}, QPointF(-10, -10)), screen.visibleFrame);
    EXPECT_EQ(Controller::placementFrame(side, {screen, side}, QPointF(10, 10)), side.visibleFrame);
}

TEST(ActivityPanel, StepIconFollowsTheFirstMatchingWord)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Running: npm test", "terminal"},
        {"Applying PATCH to main.c", "line.3.horizontal"},
        {"editing the README", "line.3.horizontal"},
        {"Open the workspace settings", "safari"},
        {"Indexing the workspace", "folder"},
        {"Running tests", "sparkles"},
        {"Starting Codex worker", "sparkles"},
        {"", "sparkles"},
    };
    for (const auto& [detail, symbol] : cases)
        EXPECT_EQ(Controller::stepSymbolName(QString::fromUtf8(detail)), QString::fromUtf8(symbol)) << detail;
}

TEST(ActivityPanel, ProgressHighlightWidthAndSweep)
{
    using namespace AgentActivityProgressBar;
    EXPECT_DOUBLE_EQ(highlightWidth(300), 108);
    EXPECT_DOUBLE_EQ(highlightWidth(100), 52);
    EXPECT_DOUBLE_EQ(highlightX(300, offsetAt(0)), -105);
    EXPECT_NEAR(highlightX(300, offsetAt(1.25 - 1e-9)), 330, 1e-6);
    EXPECT_DOUBLE_EQ(offsetAt(1.25), -0.35) << "it starts again without reversing";
    EXPECT_NEAR(offsetAt(0.625), 0.375, 1e-12);
}

TEST(ActivityPanel, InitialStateAndShownTexts)
{
    Controller c;
    EXPECT_EQ(c.title(), QStringLiteral("Codex Agent"));
    EXPECT_EQ(AgentActivityView::shownTitle(c.title()), QStringLiteral("CODEX AGENT"));
    EXPECT_EQ(c.detail(), QStringLiteral("Starting Codex worker"));
    EXPECT_TRUE(c.logTail().isEmpty());
    EXPECT_FALSE(c.isExpanded());
    EXPECT_EQ(c.panel(), nullptr);
    EXPECT_EQ(std::pair(AgentActivityView::shownLogText(QString()), AgentActivityView::logTextOpacity(QString())),
              std::pair(QStringLiteral("Waiting for Codex logs..."), 0.34));
    EXPECT_EQ(std::pair(AgentActivityView::shownLogText("ok"), AgentActivityView::logTextOpacity("ok")), std::pair(QString("ok"), 0.62));
    EXPECT_EQ(AgentActivityView::shownLogName(QStringLiteral("/tmp/runs/worker-7.log")), QStringLiteral("worker-7.log"));
    EXPECT_TRUE(AgentActivityView::shownLogName(QString()).isEmpty());
}

using ActivityPanelWindow = tovrik::test::SimTest;

TEST_F(ActivityPanelWindow, HoverResizesThePanelWithAnimationAndWithoutAPanelOnlyFlips)
{
    sim->simDisplays().setDisplays({platform::sim::SimDisplays::make(1, QRectF(0, 0, 1440, 900), 1.0, true)});
    Controller c;
    // Anchored to the main screen less a 25-point menu bar.
    auto anchor = *sim->displays().mainDisplay();
    anchor.visibleFrame = QRectF(0, 0, 1440, 875);
    c.setAnchorScreen(anchor);
    c.hoverChanged(true); // no panel: only the state changes
    EXPECT_TRUE(c.isExpanded() && !c.isResizing());

    auto* panel = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    auto* view = new AgentActivityView(&c, panel);
    c.setPanel(panel);
    c.setHostingView(view);
    c.resizePanel(false);
    // AppKit (1046, 619) is root (1046, 900 − 619 − 238 = 43).
    EXPECT_EQ(panel->geometry(), QRect(1046, 43, 376, 238));
    EXPECT_EQ(view->geometry(), QRect(0, 0, 376, 238));

    c.hoverChanged(false);
    EXPECT_FALSE(c.isExpanded());
    EXPECT_EQ(view->geometry(), QRect(0, 0, 42, 42)) << "the hosting view takes the new size at once";
    advance(0.07);
    const QRect mid = panel->geometry();
    EXPECT_GT(mid.width(), 42);
    EXPECT_LT(mid.width(), 376);
    EXPECT_EQ(mid.topRight(), QPoint(1421, 43)) << "the top-right corner stays put";
    advance(0.08);
    EXPECT_EQ(panel->geometry(), QRect(1380, 43, 42, 42));
    EXPECT_FALSE(c.isResizing());
    // The card draws over the tile when expanded.
    c.setExpanded(true);
    c.resizePanel(false);
    advance(0.2);
    const QImage image = tovrik::test::rendered(view);
    EXPECT_DOUBLE_EQ(view->expansion(), 1);
    EXPECT_GT(qAlpha(image.pixel(30, 200)), 200) << "the card's dark fill";
    EXPECT_GT(qAlpha(image.pixel(376 - 10 - 21, 10 + 21)), 200) << "the tile, 10 points inside the corner";
}
