// The microphone on the test sound server's sine source: a hold of any
// length gives the samples from start to stop, neither fewer (nothing left
// unread in a buffer at stop, whatever fragment size the source allows) nor
// more (nothing from after the stop), and they carry the tone.

#include "platform/x11/X11Media.h"
#include "support/HeardSound.h"
#include "support/SimFixture.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

using tovrik::test::spinUntil;

TEST(X11Microphone, EverySampleFromStartToStopIsDeliveredAndNoneAfter)
{
    if (tovrik::test::testPulseMicrophone().isEmpty())
        GTEST_SKIP() << "no test microphone (run through scripts/with-test-env.sh)";
    tovrik::platform::x11::X11AudioInput input;
    for (const double hold : {0.2, 0.5, 1.0}) {
        SCOPED_TRACE(hold);
        QByteArray pcm;
        QString error;
        QElapsedTimer held;
        held.start();
        auto stream = input.start(16000, [&](const QByteArray& samples) { pcm += samples; }, &error);
        ASSERT_TRUE(stream) << error.toStdString();
        spinUntil([] { return false; }, int(hold * 1000));
        stream->stop();
        const double heldFor = held.nsecsElapsed() / 1e9;
        const QByteArray afterStop = pcm;
        spinUntil([] { return false; }, 100);
        EXPECT_EQ(pcm.size(), afterStop.size()) << "samples came after stop()";
        const double seconds = pcm.size() / 2 / 16000.0;
        EXPECT_GE(seconds, hold * 0.9);
        EXPECT_LE(seconds, heldFor + 0.02);
        const auto tone = tovrik::test::heardTone(pcm, 16000);
        EXPECT_GT(tone.loudSamples, int(pcm.size() / 2 * 0.9));
        EXPECT_NEAR(tone.hz, 440, 10);
    }
}

} // namespace
