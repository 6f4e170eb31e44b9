#include "platform/sim/SimPlatform.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <QtMath>
#include <algorithm>
#include <cmath>
#include <utility>

namespace tovrik::platform::sim {

// ---- audio ----

class SimAudioStream : public AudioInputStream {
public:
    SimAudioStream(SimAudioInput& input, quint64 generation) : m_input(&input), m_generation(generation) {}
    ~SimAudioStream() override { stop(); }
    void stop() override
    {
        SimAudioInput* input = std::exchange(m_input, nullptr);
        if (!input)
            return;
        if (input->m_generation == m_generation)
            input->m_handler = nullptr;
        if (input->onStreamClosing)
            input->onStreamClosing();
    }

private:
    SimAudioInput* m_input;
    quint64 m_generation;
};

std::unique_ptr<AudioInputStream> SimAudioInput::start(int sampleRate, std::function<void(const QByteArray&)> onSamples,
                                                       QString* error)
{
    if (!failWith.isEmpty()) {
        if (error)
            *error = failWith;
        return nullptr;
    }
    m_sampleRate = sampleRate;
    m_handler = std::move(onSamples);
    return std::make_unique<SimAudioStream>(*this, ++m_generation);
}

void SimAudioInput::feed(const QByteArray& pcm)
{
    if (m_handler)
        m_handler(pcm);
}

void SimAudioInput::feedTone(double seconds, double amplitude, double frequency)
{
    const int rate = m_sampleRate > 0 ? m_sampleRate : 16000;
    const int count = int(std::lround(seconds * rate));
    QByteArray pcm(count * 2, Qt::Uninitialized);
    auto* samples = reinterpret_cast<int16_t*>(pcm.data());
    for (int i = 0; i < count; ++i)
        samples[i] = int16_t(std::lround(std::sin(2 * M_PI * frequency * i / rate) * amplitude * 32767.0));
    feed(pcm);
}

class SimPlayback : public AudioPlayback {
public:
    SimPlayback(SimAudioOutput& out, quint64 id) : m_out(&out), m_id(id) {}
    ~SimPlayback() override { stop(); }
    void stop() override
    {
        if (!m_out)
            return;
        auto& playing = m_out->m_playing;
        playing.erase(std::remove_if(playing.begin(), playing.end(), [this](const auto& c) { return c.id == m_id; }),
                      playing.end());
        m_out = nullptr;
    }

private:
    SimAudioOutput* m_out;
    quint64 m_id;
};

std::unique_ptr<AudioPlayback> SimAudioOutput::play(const QByteArray& encoded, const QString&,
                                                    std::function<void(const QString&)> finished)
{
    played << encoded;
    const quint64 id = m_nextId++;
    m_playing.push_back({id, std::move(finished)});
    if (autoFinish) {
        const QString result = *autoFinish;
        QMetaObject::invokeMethod(
            qApp,
            [this, id, result]() {
                auto it = std::find_if(m_playing.begin(), m_playing.end(), [id](const auto& c) { return c.id == id; });
                if (it == m_playing.end())
                    return;
                auto fn = std::move(it->finished);
                m_playing.erase(it);
                fn(result);
            },
            Qt::QueuedConnection);
    }
    return std::make_unique<SimPlayback>(*this, id);
}

void SimAudioOutput::probeMpegPlayback(std::function<void(const QString&)> done)
{
    ++mpegProbes;
    QMetaObject::invokeMethod(qApp, [done = std::move(done), problem = mpegProblem]() { done(problem); },
                              Qt::QueuedConnection);
}

void SimAudioOutput::finishAll(const QString& error)
{
    auto playing = std::move(m_playing);
    m_playing.clear();
    for (auto& c : playing)
        c.finished(error);
}

int SimAudioOutput::playingCount() const { return int(m_playing.size()); }

void SimSpeech::speak(const QString& text, std::function<void(const QString&)> finished)
{
    spoken << text;
    if (!available) {
        QMetaObject::invokeMethod(qApp, [finished]() { finished(QStringLiteral("No system voice is available.")); },
                                  Qt::QueuedConnection);
        return;
    }
    if (autoFinish) {
        QMetaObject::invokeMethod(qApp, [finished]() { finished(QString()); }, Qt::QueuedConnection);
        return;
    }
    m_pending = std::move(finished);
}

void SimSpeech::stop() { m_pending = nullptr; }

void SimSpeech::finish(const QString& error)
{
    if (auto fn = std::move(m_pending)) {
        m_pending = nullptr;
        fn(error);
    }
}

} // namespace tovrik::platform::sim
