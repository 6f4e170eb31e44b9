#include "platform/x11/X11DecodedPlayback.h"

#include <QAudioBuffer>
#include <QAudioDecoder>
#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaDevices>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <vector>

namespace tovrik::platform::x11 {

namespace {

// What the sound server is given ahead of what it plays: the writing thread
// may be held up this long without a gap.
constexpr qint64 kBufferUsecs = 500000;
constexpr int kPollMs = 20;
// After the last sample was played, the stream stays this long before it is
// closed: a sink still holds what it mixed ahead, and closing the stream
// would take that back.
constexpr int kTailMs = 1000;
// A sound server that has not played the clip this long after its length
// has stopped taking audio.
constexpr qint64 kSlackUsecs = 10000000;
// A decoder that makes nothing of what it was given may say nothing at all
// (FFmpeg's, for one): a clip that has given no sound this long after the
// start is taken as undecodable, one still decoding this long after it
// started giving sound as well. A valid clip gives its first sound within a
// fraction of a second.
constexpr int kFirstBufferTimeoutMs = 5000;
constexpr int kDecodeTimeoutMs = 30000;

using Finished = std::shared_ptr<std::function<void(const QString&)>>;

QString undecodable()
{
    return QStringLiteral("The audio could not be decoded.");
}

// Runs the playback's callback on the main thread, unless it was stopped or
// has reported before. The callback itself is only ever touched there.
void reportOnMainThread(const Finished& finished, const QString& error)
{
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app,
            [finished, error]() {
                if (auto fn = std::exchange(*finished, nullptr))
                    fn(error);
            },
            Qt::QueuedConnection);
}

struct PcmControl {
    std::atomic<bool> stopped{false};
};

qint64 durationUsecs(const QAudioFormat& format, qint64 bytes)
{
    const qint64 frameBytes = format.bytesPerFrame();
    if (frameBytes <= 0 || format.sampleRate() <= 0)
        return 0;
    return bytes / frameBytes * 1000000 / format.sampleRate();
}

// One clip's stream, living in the feed thread: Qt's PulseAudio sink pulls
// the PCM from a buffer on a timer of its own, in this thread; the stream is
// watched until the sound server has played all of it. Owned by the thread's
// context, which deletes it when it has ended.
class PcmStream : public QObject {
public:
    PcmStream(const QByteArray& pcm, const QAudioFormat& format, std::shared_ptr<PcmControl> control,
              Finished finished, std::function<void(PcmStream*)> ended)
        : m_control(std::move(control)), m_finished(std::move(finished)), m_ended(std::move(ended)),
          m_totalUsecs(durationUsecs(format, pcm.size()))
    {
        m_buffer.setData(pcm);
        m_buffer.open(QIODevice::ReadOnly);
        m_clock.start();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            fail(QStringLiteral("No audio output is available."));
            return;
        }
        m_sink = std::make_unique<QAudioSink>(device, format);
        m_sink->setBufferSize(format.bytesForDuration(kBufferUsecs));
        m_sink->start(&m_buffer);
        if (m_sink->state() == QAudio::StoppedState || failed(m_sink->error())) {
            fail(QStringLiteral("The audio output could not be opened."));
            return;
        }
        QObject::connect(&m_poll, &QTimer::timeout, this, [this]() { poll(); });
        m_poll.start(kPollMs);
    }
    ~PcmStream() override
    {
        // Qt's PulseAudio sink runs the thread's events as it goes: nothing
        // of this stream may run from there.
        m_done = true;
        m_poll.stop();
        m_sink.reset();
    }

private:
    static bool failed(QAudio::Error error)
    {
        return error == QAudio::OpenError || error == QAudio::IOError || error == QAudio::FatalError;
    }
    void fail(const QString& error)
    {
        m_reported = true;
        reportOnMainThread(m_finished, error);
        end();
    }
    void poll()
    {
        if (m_done)
            return;
        if (m_reported) {
            if (m_clock.elapsed() >= m_tailEndsMs)
                end();
            return;
        }
        if (m_control->stopped) {
            end();
            return;
        }
        if (m_sink->state() == QAudio::StoppedState || failed(m_sink->error())) {
            fail(QStringLiteral("The audio output failed."));
            return;
        }
        if (m_buffer.atEnd() && m_sink->processedUSecs() >= m_totalUsecs) {
            m_reported = true;
            m_tailEndsMs = m_clock.elapsed() + kTailMs;
            reportOnMainThread(m_finished, QString());
        } else if (m_clock.nsecsElapsed() / 1000 > m_totalUsecs + kSlackUsecs) {
            fail(QStringLiteral("The sound server stopped playing the audio."));
        }
    }
    void end()
    {
        if (std::exchange(m_done, true))
            return;
        m_poll.stop();
        if (m_sink)
            m_sink->stop();
        m_ended(this);
    }

    std::shared_ptr<PcmControl> m_control;
    Finished m_finished;
    std::function<void(PcmStream*)> m_ended; // hands the stream back to its owner for deletion
    qint64 m_totalUsecs;
    QElapsedTimer m_clock;
    QTimer m_poll;
    bool m_reported = false;
    bool m_done = false;
    qint64 m_tailEndsMs = 0;
    QBuffer m_buffer;
    std::unique_ptr<QAudioSink> m_sink; // goes before the buffer it reads
};

} // namespace

// The feed thread's own object: it owns the streams playing there and
// deletes each from an event of its own once it has ended, never through
// deleteLater or as a QObject child: Qt's PulseAudio sink runs the thread's
// pending events inside its destructor, where a deferred delete of the
// context would have deleted the stream being destroyed a second time.
class PcmFeedContext : public QObject {
public:
    ~PcmFeedContext() override { close(); }

    void start(const QByteArray& pcm, const QAudioFormat& format, std::shared_ptr<PcmControl> control,
               Finished finished)
    {
        if (m_closed || control->stopped)
            return;
        m_streams.push_back(std::make_unique<PcmStream>(pcm, format, std::move(control), std::move(finished),
                                                        [this](PcmStream* stream) {
                                                            QMetaObject::invokeMethod(
                                                                this, [this, stream]() { remove(stream); },
                                                                Qt::QueuedConnection);
                                                        }));
    }
    // Ends every stream, in this thread while its event loop still runs; no
    // stream starts after.
    void close()
    {
        m_closed = true;
        auto streams = std::move(m_streams);
        m_streams.clear();
        while (!streams.empty()) {
            const std::unique_ptr<PcmStream> stream = std::move(streams.back());
            streams.pop_back();
        }
    }

private:
    void remove(PcmStream* stream)
    {
        const auto it = std::find_if(m_streams.begin(), m_streams.end(),
                                     [stream](const std::unique_ptr<PcmStream>& s) { return s.get() == stream; });
        if (it == m_streams.end())
            return;
        // Out of the list before it goes: its destructor runs events that may
        // start or end other streams.
        const std::unique_ptr<PcmStream> owned = std::move(*it);
        m_streams.erase(it);
    }

    std::vector<std::unique_ptr<PcmStream>> m_streams;
    bool m_closed = false;
};

namespace {

// Decodes on the main thread (the decoder works in threads of its own and
// hands over buffers here), then hands the PCM to the feed thread.
class DecodedPlayback : public AudioPlayback {
public:
    DecodedPlayback(const QByteArray& encoded, const QString& suffix, std::function<void(const QString&)> finished,
                    std::weak_ptr<PcmFeedThread> thread)
        : m_finished(std::make_shared<std::function<void(const QString&)>>(std::move(finished))),
          m_control(std::make_shared<PcmControl>()), m_thread(std::move(thread))
    {
        m_file = privateClipFile(encoded, suffix);
        if (!m_file) {
            fail(QStringLiteral("The audio could not be played."));
            return;
        }
        m_decoder = std::make_unique<QAudioDecoder>();
        QAudioDecoder* decoder = m_decoder.get();
        QObject::connect(decoder, &QAudioDecoder::bufferReady, &m_context, [this, decoder]() {
            const QAudioBuffer buffer = decoder->read();
            if (!buffer.isValid() || buffer.byteCount() <= 0)
                return;
            if (!m_format.isValid()) {
                m_format = buffer.format();
                m_timeout.start(kDecodeTimeoutMs);
            }
            if (buffer.format() != m_format) {
                fail(undecodable());
                return;
            }
            m_pcm.append(buffer.constData<char>(), buffer.byteCount());
        });
        QObject::connect(decoder, qOverload<QAudioDecoder::Error>(&QAudioDecoder::error), &m_context,
                         [this](QAudioDecoder::Error) { fail(undecodable()); });
        QObject::connect(decoder, &QAudioDecoder::finished, &m_context, [this]() { decoded(); });
        m_timeout.setSingleShot(true);
        QObject::connect(&m_timeout, &QTimer::timeout, &m_context, [this]() { fail(undecodable()); });
        m_timeout.start(kFirstBufferTimeoutMs);
        decoder->setSource(QUrl::fromLocalFile(m_file->fileName()));
        decoder->start();
    }
    ~DecodedPlayback() override
    {
        stop();
        if (m_decoder)
            m_decoder->stop();
    }
    void stop() override
    {
        *m_finished = nullptr;
        m_control->stopped = true;
        endDecoding();
    }

private:
    void endDecoding()
    {
        // Ends the connections and the timeout; the decoder itself stops when
        // this playback goes (not inside its own signal).
        m_timeout.stop();
        if (m_decoder)
            QObject::disconnect(m_decoder.get(), nullptr, &m_context, nullptr);
        m_decoding = false;
    }
    void fail(const QString& error)
    {
        if (!std::exchange(m_decoding, false))
            return;
        endDecoding();
        reportOnMainThread(m_finished, error);
    }
    void decoded()
    {
        if (!m_decoding)
            return;
        const auto thread = m_thread.lock();
        if (m_pcm.isEmpty() || !m_format.isValid() || !thread) {
            fail(m_pcm.isEmpty() || !m_format.isValid() ? undecodable() : QStringLiteral("The audio could not be played."));
            return;
        }
        endDecoding();
        QMetaObject::invokeMethod(
            thread->context(),
            [pcm = std::exchange(m_pcm, {}), format = m_format, control = m_control, finished = m_finished,
             context = thread->context()]() { context->start(pcm, format, control, finished); },
            Qt::QueuedConnection);
    }

    Finished m_finished;
    std::shared_ptr<PcmControl> m_control;
    std::weak_ptr<PcmFeedThread> m_thread;
    std::unique_ptr<QTemporaryFile> m_file;
    std::unique_ptr<QAudioDecoder> m_decoder;
    QObject m_context; // ends the decoder's connections first (declared after it)
    QTimer m_timeout;
    QByteArray m_pcm;
    QAudioFormat m_format;
    bool m_decoding = true;
};

} // namespace

std::unique_ptr<QTemporaryFile> privateClipFile(const QByteArray& encoded, const QString& suffix)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    auto file = std::make_unique<QTemporaryFile>(folder + QStringLiteral("/tovrik-speech-XXXXXX.") + suffix);
    if (!file->open() || file->write(encoded) != encoded.size() || !file->flush())
        return nullptr;
    return file;
}

PcmFeedThread::PcmFeedThread() = default;

PcmFeedThread::~PcmFeedThread()
{
    if (!m_thread)
        return;
    // The streams end in the thread while its loop still runs; the context,
    // empty by then, is deleted there as it finishes.
    QMetaObject::invokeMethod(m_context, [context = m_context]() { context->close(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

PcmFeedContext* PcmFeedThread::context()
{
    if (!m_thread) {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(QStringLiteral("tovrik-speech"));
        m_context = new PcmFeedContext;
        m_context->moveToThread(m_thread.get());
        QObject::connect(m_thread.get(), &QThread::finished, m_context, &QObject::deleteLater);
        m_thread->start();
    }
    return m_context;
}

bool decodedPlaybackSupported()
{
    static const bool supported = QAudioDecoder().isSupported();
    return supported;
}

std::unique_ptr<AudioPlayback> playDecoded(const QByteArray& encoded, const QString& suffix,
                                           std::function<void(const QString&)> finished,
                                           std::weak_ptr<PcmFeedThread> thread)
{
    return std::make_unique<DecodedPlayback>(encoded, suffix, std::move(finished), std::move(thread));
}

} // namespace tovrik::platform::x11
