#include "platform/x11/X11Media.h"

#include "platform/x11/X11DecodedPlayback.h"
#include "platform/x11/X11DeviceRemovals.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QAudioSource>
#include <QBuffer>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QTemporaryFile>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <memory>
#include <cmath>
#include <vector>

namespace tovrik::platform::x11 {

// ---- PCM conversion ----

PcmConverter::PcmConverter(QAudioFormat from, int targetRate)
    : m_from(from), m_targetRate(targetRate),
      m_step(targetRate > 0 && from.sampleRate() > 0 ? double(from.sampleRate()) / targetRate : 1.0)
{
}

QByteArray PcmConverter::convert(const QByteArray& input)
{
    const int frameBytes = m_from.bytesPerFrame();
    const int channels = m_from.channelCount();
    if (frameBytes <= 0 || channels <= 0)
        return {};
    const int frames = int(input.size() / frameBytes);
    std::vector<float> x;
    x.reserve(size_t(frames) + 1);
    if (m_havePrevious)
        x.push_back(m_previous);
    const int sampleBytes = m_from.bytesPerSample();
    for (int f = 0; f < frames; ++f) {
        const char* frame = input.constData() + qsizetype(f) * frameBytes;
        float sum = 0.f;
        for (int c = 0; c < channels; ++c)
            sum += m_from.normalizedSampleValue(frame + c * sampleBytes);
        x.push_back(sum / float(channels));
    }
    if (x.empty())
        return {};
    QByteArray out;
    out.reserve(int(double(frames) / m_step + 2) * 2);
    double pos = m_position;
    const double last = double(x.size() - 1);
    while (pos <= last) {
        const auto i = size_t(pos);
        const double frac = pos - double(i);
        const float v = i + 1 < x.size() ? float(x[i] * (1.0 - frac) + x[i + 1] * frac) : x[i];
        if (i + 1 >= x.size() && frac > 0)
            break; // needs the next chunk's first frame
        const auto s = int16_t(std::lround(std::clamp(v, -1.f, 1.f) * 32767.f));
        out.append(reinterpret_cast<const char*>(&s), 2);
        pos += m_step;
    }
    m_position = pos - last;
    m_previous = x.back();
    m_havePrevious = true;
    return out;
}

// ---- workspace ----

bool X11Workspace::openURL(const QUrl& url)
{
    if (!url.isValid())
        return false;
    return QDesktopServices::openUrl(url);
}

void X11Workspace::openURL(const QUrl& url, std::function<void(bool opened)> done)
{
    auto reported = std::make_shared<bool>(false);
    auto report = [reported, done = std::move(done)](bool opened) {
        if (*reported)
            return;
        *reported = true;
        done(opened);
    };
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!url.isValid() || opener.isEmpty()) {
        const bool opened = url.isValid() && QDesktopServices::openUrl(url);
        QTimer::singleShot(0, QCoreApplication::instance(), [report, opened]() { report(opened); });
        return;
    }
    auto* process = new QProcess(QCoreApplication::instance());
    process->setProgram(opener);
    process->setArguments({url.toString(QUrl::FullyEncoded)});
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, [process, report](int code, QProcess::ExitStatus status) {
        report(status == QProcess::NormalExit && code == 0);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, report](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        report(false);
        process->deleteLater();
    });
    QTimer::singleShot(5000, process, [report]() { report(true); });
    process->start();
}

// ---- microphone ----

namespace {

// Qt's PulseAudio source reads the stream only when a timer of its own
// fires, once per fragment the server granted; a source that cannot meet the
// fragment asked for (one of fixed latency) is granted its own, seconds long,
// and nothing is read for that long. Its stop() then drops the stream with
// whatever it held unread. So the stream is read here every 10 ms, and at
// stop what the sound server still holds of the hold is read out first.
//
// The samples are kept to the clock: a source that renders ahead of time
// delivers no more than the time since the start, and at stop exactly the
// span from start to stop (when the server delivers it within a quarter of a
// second).
class X11AudioStream : public AudioInputStream {
public:
    X11AudioStream(std::unique_ptr<QAudioSource> source, QIODevice* io, QAudioFormat format, int rate,
                   std::function<void(const QByteArray&)> onSamples)
        : m_source(std::move(source)), m_io(io), m_converter(format, rate), m_onSamples(std::move(onSamples)),
          m_rate(rate), m_convert(!(format.sampleFormat() == QAudioFormat::Int16 && format.channelCount() == 1
                                    && format.sampleRate() == rate))
    {
        m_clock.start();
        QObject::connect(m_io, &QIODevice::readyRead, m_source.get(), [this]() { read(m_clock.nsecsElapsed()); });
        m_poll.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_poll, &QTimer::timeout, m_source.get(), [this]() { read(m_clock.nsecsElapsed()); });
        m_poll.start(10);
    }
    // Let go without reading further (a cancelled recording).
    ~X11AudioStream() override { close(); }
    void stop() override
    {
        if (!m_source)
            return;
        const qint64 end = m_clock.nsecsElapsed();
        read(end);
        QElapsedTimer waited;
        waited.start();
        while (m_delivered < samplesUntil(end) && waited.elapsed() < kTailWaitMs) {
            QThread::usleep(2000);
            read(end);
        }
        close();
    }

private:
    static constexpr int kTailWaitMs = 250;

    qint64 samplesUntil(qint64 nsecs) const { return nsecs * m_rate / 1000000000; }
    void close()
    {
        if (!m_source)
            return;
        m_poll.stop();
        QObject::disconnect(m_io, nullptr, m_source.get(), nullptr);
        m_source->stop();
        m_source.reset();
    }
    // Reads what the stream holds and delivers it up to the clock's `now`.
    void read(qint64 now)
    {
        if (!m_source)
            return;
        const QByteArray data = m_io->readAll();
        if (!data.isEmpty())
            m_ahead += m_convert ? m_converter.convert(data) : data;
        const qint64 allowed = (samplesUntil(now) - m_delivered) * 2;
        const qint64 bytes = std::min<qint64>(allowed, m_ahead.size() & ~qsizetype(1));
        if (bytes <= 0 || !m_onSamples)
            return;
        const QByteArray pcm = m_ahead.first(bytes);
        m_ahead.remove(0, bytes);
        m_delivered += bytes / 2;
        m_onSamples(pcm);
    }

    std::unique_ptr<QAudioSource> m_source;
    QIODevice* m_io;
    PcmConverter m_converter;
    std::function<void(const QByteArray&)> m_onSamples;
    int m_rate;
    bool m_convert;
    QElapsedTimer m_clock;   // since the stream started
    QTimer m_poll;
    QByteArray m_ahead;      // converted samples not yet due
    qint64 m_delivered = 0;  // samples handed on
};

} // namespace

std::unique_ptr<AudioInputStream> X11AudioInput::start(int sampleRate, std::function<void(const QByteArray&)> onSamples,
                                                       QString* error)
{
    auto fail = [error](const QString& message) -> std::unique_ptr<AudioInputStream> {
        if (error)
            *error = message;
        return nullptr;
    };
    if (sampleRate <= 0)
        return fail(QStringLiteral("The recording sample rate is invalid."));
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull())
        return fail(QStringLiteral("No microphone is available."));
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format))
        format = device.preferredFormat();
    auto source = std::make_unique<QAudioSource>(device, format);
    // Fragments of 20 ms: the server hands over what was captured that often
    // where the source allows it.
    source->setBufferSize(qsizetype(format.bytesForDuration(20000)));
    QIODevice* io = source->start();
    if (!io || source->error() != QAudio::NoError)
        return fail(QStringLiteral("The microphone could not be started."));
    return std::make_unique<X11AudioStream>(std::move(source), io, format, sampleRate, std::move(onSamples));
}

// ---- playback ----

// A player, its output and its buffer, going together. The player lets go of
// its media first, while every object it may still call is whole: GStreamer
// removes the decoder's pads when the pipeline stops, and its handler of
// that runs into the player it belongs to, which must not be in the middle
// of its own destructor then.
struct RetiredPlayer {
    std::unique_ptr<QAudioOutput> output;
    std::unique_ptr<QIODevice> source; // a buffer, or a file removed with it
    std::unique_ptr<QMediaPlayer> player;
};

namespace {

void letGoOfMedia(QMediaPlayer& player)
{
    QObject::disconnect(&player, nullptr, nullptr, nullptr);
    player.stop();
    player.setSource(QUrl());
}

} // namespace

// Players whose playback ended, kept until their output goes, so that no
// player is destroyed before the platform has given back the input it
// holds (a crash in a media backend's teardown would otherwise skip that).
struct X11AudioOutput::Retired {
    std::vector<RetiredPlayer> players;
};

namespace {

class X11Playback : public AudioPlayback {
public:
    X11Playback(const QByteArray& encoded, const QString& mimeType, std::function<void(const QString&)> finished,
                std::weak_ptr<X11AudioOutput::Retired> retired)
        : m_finished(std::make_shared<std::function<void(const QString&)>>(std::move(finished))),
          m_retired(std::move(retired))
    {
        m_player = std::make_unique<QMediaPlayer>();
        m_output = std::make_unique<QAudioOutput>();
        m_player->setAudioOutput(m_output.get());
        auto finishedFn = m_finished;
        // Reported through the event loop, so the receiver may delete this
        // playback from its callback.
        auto report = [finishedFn](const QString& error) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [finishedFn, error]() {
                    if (auto fn = std::exchange(*finishedFn, nullptr))
                        fn(error);
                },
                Qt::QueuedConnection);
        };
        QMediaPlayer* player = m_player.get();
        QObject::connect(player, &QMediaPlayer::mediaStatusChanged, player,
                         [report, player](QMediaPlayer::MediaStatus status) {
                             if (status == QMediaPlayer::EndOfMedia)
                                 report(QString());
                             else if (status == QMediaPlayer::InvalidMedia)
                                 report(QStringLiteral("The audio could not be decoded."));
                             else if (status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia)
                                 // Some backends open what they cannot decode without an
                                 // error, find no sound in it and then wait forever.
                                 QTimer::singleShot(0, player, [report, player]() {
                                     if (!player->hasAudio())
                                         report(QStringLiteral("The audio could not be decoded."));
                                 });
                         });
        QObject::connect(m_player.get(), &QMediaPlayer::errorOccurred, m_player.get(),
                         [report](QMediaPlayer::Error, const QString& message) {
                             report(message.isEmpty() ? QStringLiteral("The audio could not be played.") : message);
                         });
        const QString suffix = mimeType.contains(QLatin1String("wav")) ? QStringLiteral("wav") : QStringLiteral("mp3");
        // From a file the backend reads by itself: through a QIODevice, Qt's
        // GStreamer backend is fed from the main thread, one request at a
        // time, and a main thread held up starves the sound.
        if (auto file = privateClipFile(encoded, suffix)) {
            const QUrl url = QUrl::fromLocalFile(file->fileName());
            m_source = std::move(file);
            m_player->setSource(url);
        } else {
            auto buffer = std::make_unique<QBuffer>();
            buffer->setData(encoded);
            buffer->open(QIODevice::ReadOnly);
            m_player->setSourceDevice(buffer.get(), QUrl(QStringLiteral("tovrik-audio.") + suffix));
            m_source = std::move(buffer);
        }
        m_player->play();
    }
    ~X11Playback() override { stop(); }
    void stop() override
    {
        *m_finished = nullptr;
        if (!m_player)
            return;
        letGoOfMedia(*m_player);
        RetiredPlayer retired{std::move(m_output), std::move(m_source), std::move(m_player)};
        if (auto list = m_retired.lock())
            list->players.push_back(std::move(retired));
    }

private:
    std::shared_ptr<std::function<void(const QString&)>> m_finished;
    std::weak_ptr<X11AudioOutput::Retired> m_retired;
    std::unique_ptr<QAudioOutput> m_output;
    std::unique_ptr<QIODevice> m_source;
    std::unique_ptr<QMediaPlayer> m_player; // destroyed first (declared last)
};

} // namespace

// The silent frames: a header and all-zero side information and main data
// (no scale factors, no spectral values), which every decoder renders as
// silence. 144 * 32000 / 44100 = 104 bytes a frame, no padding.
QByteArray X11AudioOutput::silentMpegFrames()
{
    QByteArray frame(104, '\0');
    frame[0] = '\xff'; // sync
    frame[1] = '\xfb'; // sync, MPEG-1, Layer III, no CRC
    frame[2] = '\x10'; // 32 kbit/s, 44.1 kHz, no padding
    frame[3] = '\xc0'; // mono
    return frame.repeated(40);
}

class X11AudioOutput::MpegProbe {
public:
    explicit MpegProbe(std::function<void(const QString&)> ended) : m_ended(std::move(ended))
    {
        m_buffer.setData(silentMpegFrames());
        m_buffer.open(QIODevice::ReadOnly);
        // Judged through the event loop: the receiver deletes this probe, and
        // the track list may trail the status by a signal.
        QObject::connect(&m_player, &QMediaPlayer::mediaStatusChanged, &m_context,
                         [this](QMediaPlayer::MediaStatus status) {
                             if (status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia)
                                 report([this]() { return m_player.hasAudio() ? QString() : undecodable(); });
                             else if (status == QMediaPlayer::InvalidMedia)
                                 report([this]() { return m_player.errorString().isEmpty() ? undecodable()
                                                                                           : m_player.errorString(); });
                         });
        QObject::connect(&m_player, &QMediaPlayer::errorOccurred, &m_context,
                         [this](QMediaPlayer::Error, const QString& message) {
                             report([message]() { return message.isEmpty() ? undecodable() : message; });
                         });
        QTimer::singleShot(10000, &m_context, [this]() { report([]() { return QString(); }); });
        m_player.setSourceDevice(&m_buffer, QUrl(QStringLiteral("tovrik-probe.mp3")));
    }
    ~MpegProbe() { letGoOfMedia(m_player); }

private:
    static QString undecodable() { return QStringLiteral("The audio could not be decoded."); }
    void report(std::function<QString()> verdict)
    {
        if (std::exchange(m_reported, true))
            return;
        QMetaObject::invokeMethod(
            &m_context, [this, verdict = std::move(verdict)]() { m_ended(verdict()); }, Qt::QueuedConnection);
    }

    std::function<void(const QString&)> m_ended;
    bool m_reported = false;
    QObject m_context; // ends the connections and queued calls first (declared before the player)
    QBuffer m_buffer;
    QMediaPlayer m_player;
};

X11AudioOutput::X11AudioOutput() : m_retired(std::make_shared<Retired>()), m_streams(std::make_shared<PcmStreams>())
{
    guardDeviceRemovals();
}

X11AudioOutput::~X11AudioOutput()
{
    m_streams.reset();
    m_probe.reset();
    // Their pipelines stopped when their playbacks ended; newest first.
    while (!m_retired->players.empty())
        m_retired->players.pop_back();
}

std::unique_ptr<AudioPlayback> X11AudioOutput::play(const QByteArray& encoded, const QString& mimeType,
                                                    std::function<void(const QString&)> finished)
{
    // The players of earlier playbacks go at the next turn of the event
    // loop, not inside the call that stopped them.
    if (!m_retired->players.empty())
        QTimer::singleShot(0, &m_context, [retired = std::weak_ptr<Retired>(m_retired),
                                           count = m_retired->players.size()]() {
            if (auto list = retired.lock())
                list->players.erase(list->players.begin(),
                                    list->players.begin() + qsizetype(std::min(count, list->players.size())));
        });
    if (decodedPlaybackSupported())
        return playDecoded(encoded, std::move(finished), m_streams);
    return std::make_unique<X11Playback>(encoded, mimeType, std::move(finished), m_retired);
}

void X11AudioOutput::probeMpegPlayback(std::function<void(const QString&)> done)
{
    if (m_mpegProblem) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done = std::move(done), problem = *m_mpegProblem]() { done(problem); },
            Qt::QueuedConnection);
        return;
    }
    m_probeWaiting.push_back(std::move(done));
    if (!m_probe)
        m_probe = std::make_unique<MpegProbe>([this](const QString& problem) { probeEnded(problem); });
}

void X11AudioOutput::probeEnded(const QString& problem)
{
    m_mpegProblem = problem;
    if (!problem.isEmpty())
        qWarning("tovrik: this system cannot play MPEG audio (%s); answers are spoken by the system voice "
                 "(install GStreamer's good plugins for hosted speech)",
                 qPrintable(problem));
    // The probe's player stays until this output goes: GStreamer may still
    // be adding the decoder's pads when the verdict arrives, and tearing the
    // pipeline down then crashed inside the backend. A settled, paused
    // pipeline costs nothing while it waits.
    for (auto& done : std::exchange(m_probeWaiting, {}))
        done(problem);
}

} // namespace tovrik::platform::x11
