// The process entry when the secure random source fails (nothing starts,
// one line says why, the exit code is 1, the marker keeps the value drawn
// before); one instance per bundle identifier on the real session bus, and
// the show-panel notification (each test plays several processes through
// separate bus connections and uses a bundle identifier of its own, so tests
// running side by side never meet); the status item's image.

#include "app/AppController.h"
#include "app/Entry.h"
#include "app/SingleInstance.h"
#include "common/Constants.h"
#include "support/SimFixture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <algorithm>
#include <atomic>
#include <cstring>

namespace tovrik::app {
namespace {

bool failingRandom(void*, size_t) { return false; }
bool fixedRandom(void* buffer, size_t size)
{
    std::memset(buffer, 0, size); // all zero bits: the marker must still be odd
    return true;
}

TEST(ProcessEntry, ARandomSourceFailureStopsWithOneLineAndAnAllZeroDrawStillGivesAnOddMarker)
{
    const int64_t before = constants::syntheticInputEventSourceUserData();
    char name[] = "tovrik";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    const int rc = runApplication(1, argv, &failingRandom);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_NE(err.find("secure random source"), std::string::npos);
    EXPECT_EQ(constants::syntheticInputEventSourceUserData(), before);
    // A draw of all zero bits still gives an odd marker.
    ASSERT_TRUE(constants::initialize(&fixedRandom));
    EXPECT_EQ(constants::syntheticInputEventSourceUserData(), 1);
    ASSERT_TRUE(constants::initialize());
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "no D-Bus session bus (run through scripts/with-test-env.sh)";
        static std::atomic<int> serial{0};
        identifier = QStringLiteral("ai.tovrik.test.p%1.n%2").arg(QCoreApplication::applicationPid()).arg(serial++);
    }
    void TearDown() override
    {
        for (const QString& name : connectionNames)
            QDBusConnection::disconnectFromBus(name);
    }
    // A new connection to the session bus: another "process".
    QDBusConnection process(const char* tag)
    {
        const QString name = identifier + QLatin1Char('.') + QLatin1String(tag);
        connectionNames << name;
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    }

    QString identifier;
    QStringList connectionNames;
};

TEST_F(SingleInstanceTest, TheFirstProcessOwnsTheNameAndTheSecondIsADuplicate)
{
    QDBusConnection first = process("first");
    QDBusConnection second = process("second");
    SingleInstance a(identifier, first);
    SingleInstance b(identifier, second);
    EXPECT_EQ(a.claim(), SingleInstance::Claim::Primary);
    EXPECT_EQ(b.claim(), SingleInstance::Claim::Duplicate);
    // Our own ownership is never taken for another instance.
    EXPECT_EQ(a.claim(), SingleInstance::Claim::Primary);
    EXPECT_EQ(a.currentOwner(), first.baseService());
    // The name is free again once the first is gone.
    a.release();
    EXPECT_EQ(b.claim(), SingleInstance::Claim::Primary);
    EXPECT_EQ(a.claim(), SingleInstance::Claim::Duplicate);
}

TEST_F(SingleInstanceTest, TheShowPanelNotificationReachesEveryObserverOfThatIdentifier)
{
    QDBusConnection first = process("first");
    QDBusConnection other = process("other");
    QDBusConnection poster = process("poster");
    SingleInstance a(identifier, first);
    SingleInstance b(identifier, other);
    SingleInstance sender(identifier, poster);
    int shownA = 0, shownB = 0;
    QObject::connect(&a, &SingleInstance::showPanelRequested, [&] { ++shownA; });
    QObject::connect(&b, &SingleInstance::showPanelRequested, [&] { ++shownB; });
    ASSERT_TRUE(a.addObserver());
    ASSERT_TRUE(a.addObserver()); // idempotent: still one registration
    ASSERT_TRUE(b.addObserver());
    ASSERT_TRUE(sender.postShowPanelNotification());
    ASSERT_TRUE(test::spinUntil([&] { return shownA >= 1 && shownB >= 1; }));
    // Sent once more: each observer counts exactly two.
    ASSERT_TRUE(sender.postShowPanelNotification());
    ASSERT_TRUE(test::spinUntil([&] { return shownA >= 2 && shownB >= 2; }));
    test::drainEvents();
    EXPECT_EQ(shownA, 2);
    EXPECT_EQ(shownB, 2);
    // A removed observer hears nothing more; another name or another
    // identifier's notification counts for nobody. Messages from one sender
    // arrive in order: once the last is counted the others were refused.
    b.removeObserver();
    auto post = [&](const QString& name, const QString& object) {
        QDBusMessage m = QDBusMessage::createSignal(SingleInstance::notificationPath,
                                                    SingleInstance::notificationInterface,
                                                    SingleInstance::notificationMember);
        m << name << object;
        ASSERT_TRUE(poster.send(m));
    };
    post(QStringLiteral("ai.tovrik.mac.show-panel"), identifier + QStringLiteral(".other"));
    post(QStringLiteral("ai.tovrik.mac.hide-panel"), identifier);
    ASSERT_TRUE(sender.postShowPanelNotification());
    ASSERT_TRUE(test::spinUntil([&] { return shownA >= 3; }));
    test::drainEvents();
    EXPECT_EQ(shownA, 3);
    EXPECT_EQ(shownB, 2);
}

TEST_F(SingleInstanceTest, WithoutABusTheProcessRunsAlone)
{
    const QString name = identifier + QStringLiteral(".nobus");
    connectionNames << name;
    QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/tovrik-bus"), name);
    ASSERT_FALSE(none.isConnected());
    SingleInstance alone(identifier, none);
    EXPECT_EQ(alone.claim(), SingleInstance::Claim::NoBus);
    EXPECT_FALSE(alone.postShowPanelNotification());
    EXPECT_FALSE(alone.addObserver());
    EXPECT_TRUE(alone.currentOwner().isEmpty());
}

TEST(StatusImage, IsTwentyByEighteenWithTheIconFlushAtTheBottomAndOnePointFromEachSide)
{
    const QImage image = AppController::makeStatusImage();
    ASSERT_EQ(image.size(), QSize(20, 18));
    for (int y = 0; y < 18; ++y)
        EXPECT_EQ(qAlpha(image.pixel(0, y)) + qAlpha(image.pixel(19, y)), 0) << "the side columns are clear, y " << y;
    // The icon fills the 18 × 18 square in between: its body is opaque.
    for (const QPoint p : {QPoint(10, 9), QPoint(4, 15), QPoint(15, 3)})
        EXPECT_EQ(qAlpha(image.pixel(p)), 255) << p.x() << "," << p.y();
    // The 18-high icon fills all 18 rows: its top and bottom edges are in the
    // first and last rows (an icon shifted by a row would leave one empty).
    EXPECT_GT(qAlpha(image.pixel(10, 0)), 0);
    EXPECT_GT(qAlpha(image.pixel(10, 17)), 0);
    // Drawn in its own colours (not a template image): the pointer is blue.
    bool blue = false;
    for (int y = 0; y < 18 && !blue; ++y)
        for (int x = 1; x < 19 && !blue; ++x) {
            const QColor c = image.pixelColor(x, y);
            blue = c.alpha() == 255 && c.blue() > 200 && c.red() < 110;
        }
    EXPECT_TRUE(blue);
}

} // namespace
} // namespace tovrik::app
