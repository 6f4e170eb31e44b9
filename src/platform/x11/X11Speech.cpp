#include "platform/x11/X11Speech.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QTextToSpeech>
#include <QThread>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <pulse/context.h>
#include <pulse/mainloop.h>

namespace tovrik::platform::x11 {

namespace {

QString noVoice()
{
    return QStringLiteral("No system voice is available.");
}

// How long the sound server has to answer before a speech.
constexpr int kServerAnswerMs = 1000;
// How long a voice's thread has to end when the voice goes.
constexpr int kThreadEndMs = 2000;

using Report = std::function<void(quint64 speech, const QString& error)>;

} // namespace

bool soundServerAnswers(int timeoutMs)
{
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return false;
    bool ready = false;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "tovrik-voice-check");
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if (!PA_CONTEXT_IS_GOOD(state) || left <= 0)
                break;
            if (pa_mainloop_prepare(loop, int(left * 1000)) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
}

// Lives in a voice's thread and makes every call into its engine there.
class VoiceWorker : public QObject {
public:
    VoiceWorker(Report report, std::shared_ptr<std::atomic<bool>> busy)
        : m_report(std::move(report)), m_busy(std::move(busy))
    {
    }
    ~VoiceWorker() override
    {
        m_busy->store(true);
        m_engine.reset();
        m_busy->store(false);
    }

    void speak(quint64 speech, const QString& text)
    {
        m_busy->store(true);
        m_speech = 0;
        m_started = false;
        // Without a sound server there is nothing to speak into: flite's
        // engine crashes opening its output, speech-dispatcher takes the
        // text and never finishes.
        if (!soundServerAnswers(kServerAnswerMs) || !engineReady() || !outputOpens()) {
            m_report(speech, noVoice());
        } else {
            m_speech = speech;
            m_engine->say(text);
        }
        m_busy->store(false);
    }
    // Ends the running speech; with `replace`, the engine too.
    void stop(bool replace)
    {
        m_busy->store(true);
        m_speech = 0;
        m_started = false;
        if (m_engine && m_engine->state() == QTextToSpeech::Speaking)
            m_engine->stop();
        if (replace)
            m_engine.reset();
        m_busy->store(false);
    }

private:
    // Qt's flite engine speaks through Qt's own connection to the sound
    // server, which gives up for the rest of the run when the server is
    // still gone the one time it tries again (3 s after losing it); the
    // engine then crashes opening its output. So a sink of the same kind
    // must open first. speech-dispatcher has connections of its own.
    bool outputOpens()
    {
        if (m_engine->engine() != QLatin1String("flite"))
            return true;
        QAudioFormat format;
        format.setSampleRate(16000);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        QAudioSink sink(QMediaDevices::defaultAudioOutput(), format);
        QIODevice* io = sink.start();
        const bool opened = io && sink.state() != QAudio::StoppedState && sink.error() == QAudio::NoError;
        sink.stop();
        return opened;
    }
    bool engineReady()
    {
        if (m_engine && m_engine->state() != QTextToSpeech::Error)
            return true;
        m_engine.reset();
        const QStringList engines = QTextToSpeech::availableEngines();
        if (engines.isEmpty())
            return false;
        // Qt's preferred engine (speech-dispatcher where installed), else the
        // first that starts: speech-dispatcher fails when its daemon cannot
        // be reached or started, and flite then still speaks.
        m_engine = std::make_unique<QTextToSpeech>();
        for (const QString& name : engines) {
            if (m_engine->state() != QTextToSpeech::Error)
                break;
            m_engine = std::make_unique<QTextToSpeech>(name);
        }
        if (m_engine->state() == QTextToSpeech::Error) {
            m_engine.reset();
            return false;
        }
        QObject::connect(m_engine.get(), &QTextToSpeech::stateChanged, this,
                         [this](QTextToSpeech::State state) { changed(state); });
        return true;
    }
    void changed(QTextToSpeech::State state)
    {
        if (!m_speech)
            return;
        if (state == QTextToSpeech::Speaking) {
            m_started = true;
        } else if (state == QTextToSpeech::Ready && m_started) {
            m_report(std::exchange(m_speech, 0), QString());
        } else if (state == QTextToSpeech::Error) {
            const QString reason = m_engine->errorString();
            m_report(std::exchange(m_speech, 0),
                     reason.isEmpty() ? QStringLiteral("The system voice failed.") : reason);
        }
    }

    Report m_report;
    std::shared_ptr<std::atomic<bool>> m_busy;
    std::unique_ptr<QTextToSpeech> m_engine;
    quint64 m_speech = 0; // the speech being spoken (0: none)
    bool m_started = false;
};

namespace {

class VoiceThread : public QThread {
protected:
    void run() override
    {
        // A daemon gone under its client library makes its writes raise
        // SIGPIPE; here they fail instead.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        exec();
    }
};

} // namespace

struct X11Speech::Voice {
    Voice(Report report) : busy(std::make_shared<std::atomic<bool>>(false))
    {
        thread = std::make_unique<VoiceThread>();
        thread->setObjectName(QStringLiteral("tovrik-voice"));
        worker = new VoiceWorker(std::move(report), busy);
        worker->moveToThread(thread.get());
        QObject::connect(thread.get(), &QThread::finished, worker, [worker = worker]() { delete worker; },
                         Qt::DirectConnection);
        thread->start();
    }
    // Ends the thread (its worker with it) when it ends within a bound; a
    // thread stuck in an engine call is left to the process's end.
    ~Voice()
    {
        thread->quit();
        if (busy->load() || !thread->wait(QDeadlineTimer(kThreadEndMs)))
            (void)thread.release();
    }
    template <typename Fn>
    void post(Fn fn)
    {
        QMetaObject::invokeMethod(worker, std::move(fn), Qt::QueuedConnection);
    }

    std::unique_ptr<QThread> thread;
    VoiceWorker* worker = nullptr; // deleted in its thread as it finishes
    std::shared_ptr<std::atomic<bool>> busy;
};

X11Speech::X11Speech()
    : m_report(std::make_shared<std::function<void(quint64, const QString&)>>(
          [this](quint64 speech, const QString& error) {
              if (speech != m_speech)
                  return;
              if (auto fn = std::exchange(m_pending, nullptr))
                  fn(error);
          }))
{
}

X11Speech::~X11Speech()
{
    m_pending = nullptr;
    m_report.reset();
    m_voice.reset();
    m_retired.clear();
}

bool X11Speech::isAvailable()
{
    return !QMediaDevices::audioOutputs().isEmpty() && !QTextToSpeech::availableEngines().isEmpty();
}

void X11Speech::speak(const QString& text, std::function<void(const QString&)> finished)
{
    stop();
    const quint64 speech = ++m_speech;
    m_pending = std::move(finished);
    auto fail = [this, speech](const QString& error) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [report = std::weak_ptr(m_report), speech, error]() {
                if (auto fn = report.lock())
                    (*fn)(speech, error);
            },
            Qt::QueuedConnection);
    };
    if (text.trimmed().isEmpty()) {
        // Nothing to say: an engine would never start, so never finish.
        fail(QString());
        return;
    }
    if (QTextToSpeech::availableEngines().isEmpty()) {
        fail(noVoice());
        return;
    }
    if (m_voice && m_voice->busy->load())
        retire();
    // Retired voices whose call has ended go now.
    std::erase_if(m_retired, [](const std::unique_ptr<Voice>& voice) { return !voice->busy->load(); });
    if (!m_voice)
        m_voice = std::make_unique<Voice>([report = std::weak_ptr(m_report)](quint64 speech, const QString& error) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [report, speech, error]() {
                    if (auto fn = report.lock())
                        (*fn)(speech, error);
                },
                Qt::QueuedConnection);
        });
    VoiceWorker* worker = m_voice->worker;
    m_voice->post([worker, speech, text]() { worker->speak(speech, text); });
}

void X11Speech::stop()
{
    const bool speaking = bool(m_pending);
    m_pending = nullptr;
    if (!m_voice)
        return;
    // A speech that did not end by itself may have lost its daemon.
    if (speaking && m_voice->busy->load()) {
        retire();
        return;
    }
    VoiceWorker* worker = m_voice->worker;
    m_voice->post([worker, speaking]() { worker->stop(speaking); });
}

void X11Speech::retire()
{
    m_retired.push_back(std::move(m_voice));
}

} // namespace tovrik::platform::x11
