#pragma once

// Sound made and heard at test time: a tone encoded as MP3 by lame, and what
// the test environment's null sink played, recorded from its monitor
// (scripts/with-test-env.sh starts the sound server and names the sink in
// TOVRIK_TEST_PULSE_SINK).

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>
#include <QString>
#include <QThread>
#include <QtEndian>
#include <pulse/pulseaudio.h>
#include <cmath>
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

// The test sink's state as the sound server reports it ("SUSPENDED",
// "IDLE", "RUNNING"); empty when it cannot be read.
inline QString testSinkState()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks"), QStringLiteral("short")});
    if (!pactl.waitForFinished(10000))
        return {};
    for (const QByteArray& line : pactl.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() >= 5 && QString::fromUtf8(fields[1]) == testPulseSink())
            return QString::fromUtf8(fields[4].trimmed());
    }
    return {};
}

inline QString pactl(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), arguments);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The streams other programs keep on the test sink (the system voice's
// speech-dispatcher holds one open once it has spoken, and the sink then
// never suspends), moved to a sink of their own while this lives; when it
// goes the sound server moves them back to the default sink.
class ParkedStreams {
public:
    ParkedStreams()
    {
        QString sink;
        for (const QString& line : pactl({QStringLiteral("list"), QStringLiteral("sinks"), QStringLiteral("short")}).split(QLatin1Char('\n')))
            if (line.section(QLatin1Char('\t'), 1, 1) == testPulseSink())
                sink = line.section(QLatin1Char('\t'), 0, 0);
        m_module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=tovrik_test_parking")});
        for (const QString& line : pactl({QStringLiteral("list"), QStringLiteral("sink-inputs"), QStringLiteral("short")}).split(QLatin1Char('\n')))
            if (!sink.isEmpty() && line.section(QLatin1Char('\t'), 1, 1) == sink)
                pactl({QStringLiteral("move-sink-input"), line.section(QLatin1Char('\t'), 0, 0),
                       QStringLiteral("tovrik_test_parking")});
    }
    ~ParkedStreams()
    {
        if (!m_module.isEmpty())
            pactl({QStringLiteral("unload-module"), m_module});
    }
    ParkedStreams(const ParkedStreams&) = delete;
    ParkedStreams& operator=(const ParkedStreams&) = delete;

private:
    QString m_module;
};

// Waits until the test sink is suspended (the test sound server suspends it
// after a second of quiet); false when it is not within `timeoutMs`.
inline bool awaitSuspendedSink(int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (testSinkState() == QLatin1String("SUSPENDED"))
            return true;
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return false;
}

// Records the test sink's monitor (44.1 kHz mono 16-bit) from construction
// until stop(). The recording is connected when the constructor returns, and
// it does not keep the sink awake (a recording of a monitor otherwise keeps
// it from suspending): connecting wakes a suspended sink for a moment, after
// which it suspends again (awaitSuspendedSink) and what plays next starts on
// a suspended sink.
class SinkRecording {
public:
    SinkRecording()
    {
        m_loop = pa_threaded_mainloop_new();
        // A loaded server may refuse a connection while its queue is full.
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (m_context)
                pa_context_unref(m_context);
            m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "tovrik-test-recording");
            pa_context_set_state_callback(m_context, [](pa_context*, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            }, m_loop);
            if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0)
                break;
            QThread::msleep(100);
        }
        if (pa_context_get_state(m_context) == PA_CONTEXT_UNCONNECTED || pa_threaded_mainloop_start(m_loop) < 0)
            return;
        m_running = true;
        pa_threaded_mainloop_lock(m_loop);
        while (PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))
               && pa_context_get_state(m_context) != PA_CONTEXT_READY)
            pa_threaded_mainloop_wait(m_loop);
        if (pa_context_get_state(m_context) == PA_CONTEXT_READY) {
            const pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 1};
            m_stream = pa_stream_new(m_context, "monitor", &spec, nullptr);
            pa_stream_set_state_callback(m_stream, [](pa_stream*, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            }, m_loop);
            pa_stream_set_read_callback(m_stream, [](pa_stream* stream, size_t, void* self) {
                const void* data = nullptr;
                size_t bytes = 0;
                while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
                    auto* recording = static_cast<SinkRecording*>(self);
                    if (data)
                        recording->m_pcm.append(static_cast<const char*>(data), qsizetype(bytes));
                    else
                        recording->m_pcm.append(qsizetype(bytes), '\0'); // a hole
                    pa_stream_drop(stream);
                }
            }, this);
            pa_buffer_attr attr{uint32_t(-1), uint32_t(-1), uint32_t(-1), uint32_t(-1), 44100 * 2 / 50};
            const QByteArray monitor = (testPulseSink() + QStringLiteral(".monitor")).toUtf8();
            pa_stream_connect_record(m_stream, monitor.constData(), &attr,
                                     pa_stream_flags_t(PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND | PA_STREAM_ADJUST_LATENCY));
            while (pa_stream_get_state(m_stream) == PA_STREAM_CREATING)
                pa_threaded_mainloop_wait(m_loop);
        }
        pa_threaded_mainloop_unlock(m_loop);
    }
    ~SinkRecording()
    {
        stop();
        if (m_context)
            pa_context_unref(m_context);
        if (m_loop)
            pa_threaded_mainloop_free(m_loop);
    }
    SinkRecording(const SinkRecording&) = delete;
    SinkRecording& operator=(const SinkRecording&) = delete;

    // Whether the recording is connected.
    bool recording() const { return m_stream && pa_stream_get_state(m_stream) == PA_STREAM_READY; }

    QByteArray stop()
    {
        if (m_running) {
            m_running = false;
            pa_threaded_mainloop_stop(m_loop);
            if (m_stream) {
                pa_stream_disconnect(m_stream);
                pa_stream_unref(std::exchange(m_stream, nullptr));
            }
            pa_context_disconnect(m_context);
        }
        return m_pcm;
    }

private:
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    bool m_running = false;
    QByteArray m_pcm; // the loop's thread while it runs
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
// clip played by the program is held to. 0 when paplay cannot play it, or
// the sink was not suspended when it started.
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
    SinkRecording recording;
    if (!recording.recording() || !awaitSuspendedSink())
        return 0;
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
