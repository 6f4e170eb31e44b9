#pragma once

// Sound made and heard at test time: a tone encoded as MP3 by lame, and what
// the test environment's null sink played, recorded from its monitor with
// parec (scripts/with-test-env.sh starts the sound server and names the sink
// in TOVRIK_TEST_PULSE_SINK).

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>
#include <QString>
#include <QtEndian>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <vector>

namespace tovrik::test {

inline QString testPulseSink()
{
    return qEnvironmentVariable("TOVRIK_TEST_PULSE_SINK");
}

// The default microphone of the test sound server, a steady 440 Hz sine
// source (empty when there is none).
inline QString testPulseMicrophone()
{
    return qEnvironmentVariable("TOVRIK_TEST_PULSE_MIC");
}

// `seconds` of a sine at `hz` (44.1 kHz mono), as MP3; empty when lame fails.
inline QByteArray toneMpeg(int hz, double seconds)
{
    const int count = int(44100 * seconds);
    QByteArray pcm(count * 2, '\0');
    for (int i = 0; i < count; ++i)
        qToLittleEndian<int16_t>(int16_t(std::lround(12000 * std::sin(2 * M_PI * hz * i / 44100.0))),
                                 pcm.data() + 2 * i);
    QProcess lame;
    lame.start(QStringLiteral("lame"), {QStringLiteral("-r"), QStringLiteral("-s"), QStringLiteral("44.1"),
                                        QStringLiteral("--bitwidth"), QStringLiteral("16"), QStringLiteral("--signed"),
                                        QStringLiteral("--little-endian"), QStringLiteral("-m"), QStringLiteral("m"),
                                        QStringLiteral("--quiet"), QStringLiteral("-"), QStringLiteral("-")});
    if (!lame.waitForStarted())
        return {};
    lame.write(pcm);
    lame.closeWriteChannel();
    if (!lame.waitForFinished(60000) || lame.exitCode() != 0)
        return {};
    return lame.readAllStandardOutput();
}

// Records the test sink's monitor (44.1 kHz mono 16-bit) from construction
// until stop().
class SinkRecording {
public:
    SinkRecording()
    {
        m_parec.start(QStringLiteral("parec"),
                      {QStringLiteral("--latency-msec=20"), QStringLiteral("-d"), testPulseSink() + QStringLiteral(".monitor"),
                       QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"), QStringLiteral("--channels=1"),
                       QStringLiteral("--raw")});
        m_parec.waitForStarted();
    }
    ~SinkRecording() { stop(); }
    QByteArray stop()
    {
        if (m_parec.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_parec.processId()), SIGINT); // parec writes out what it holds
            if (!m_parec.waitForFinished(10000))
                m_parec.kill();
            m_parec.waitForFinished();
        }
        return m_parec.readAllStandardOutput();
    }

private:
    QProcess m_parec;
};

// The loud part of a recording: how many samples are loud, and the frequency
// over their span (from the zero crossings).
struct HeardTone {
    int loudSamples = 0;
    double hz = 0;
};

inline HeardTone heardTone(const QByteArray& pcm, int rate = 44100)
{
    // The samples copied out first: reading them in place from an empty
    // array (Qt's shared one-byte buffer) draws a bounds warning.
    std::vector<int16_t> samples(size_t(pcm.size() / 2));
    if (!samples.empty())
        qFromLittleEndian<int16_t>(pcm.constData(), qsizetype(samples.size()), samples.data());
    const qsizetype n = qsizetype(samples.size());
    auto at = [&samples](qsizetype i) { return samples[size_t(i)]; };
    HeardTone tone;
    qsizetype first = -1, last = -1;
    for (qsizetype i = 0; i < n; ++i) {
        if (std::abs(at(i)) > 1000) {
            ++tone.loudSamples;
            if (first < 0)
                first = i;
            last = i;
        }
    }
    if (last > first) {
        int crossings = 0;
        for (qsizetype i = first; i < last; ++i)
            crossings += (at(i) < 0) != (at(i + 1) < 0);
        tone.hz = crossings / 2.0 / (double(last - first) / rate);
    }
    return tone;
}

// How long the recording is audible: the 10 ms windows whose RMS is above
// about -30 dBFS, in seconds.
inline double audibleSeconds(const QByteArray& pcm, int rate = 44100)
{
    const qsizetype n = pcm.size() / 2;
    const qsizetype window = rate / 100;
    int audible = 0;
    for (qsizetype start = 0; start + window <= n; start += window) {
        double sum = 0;
        for (qsizetype i = start; i < start + window; ++i) {
            const double v = qFromLittleEndian<int16_t>(pcm.constData() + 2 * i);
            sum += v * v;
        }
        audible += std::sqrt(sum / double(window)) > 1000;
    }
    return audible * 0.01;
}

// How long `paplay` of the same clip is audible in the test sink, recorded
// the same way, starting on a sink left idle long enough to suspend: what a
// clip played by the program is held to. 0 when paplay cannot play it.
inline double paplayAudibleSeconds(const QByteArray& encoded, const QString& suffix = QStringLiteral("mp3"))
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/tovrik-reference-XXXXXX.") + suffix);
    if (!file.open() || file.write(encoded) != encoded.size() || !file.flush())
        return 0;
    auto spin = [](QProcess* until, int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        if (until)
            QObject::connect(until, &QProcess::finished, &loop, &QEventLoop::quit);
        loop.exec();
    };
    spin(nullptr, 1500);
    SinkRecording recording;
    QProcess paplay;
    paplay.start(QStringLiteral("paplay"), {QStringLiteral("-d"), testPulseSink(), file.fileName()});
    if (!paplay.waitForStarted())
        return 0;
    spin(&paplay, 60000);
    spin(nullptr, 300); // the sink's last buffer
    const QByteArray heard = recording.stop();
    return paplay.exitStatus() == QProcess::NormalExit && paplay.exitCode() == 0 ? audibleSeconds(heard) : 0;
}

} // namespace tovrik::test
