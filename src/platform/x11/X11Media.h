#pragma once

// Workspace, microphone and playback over Qt: the default
// browser through QDesktopServices, QAudioSource for the microphone (mono
// 16-bit at the requested rate, converted when the device delivers another
// format), and encoded audio decoded to PCM and written to a sound-server
// stream (QMediaPlayer where the backend cannot decode to PCM). The system
// voice is in X11Speech.h.

#include "platform/Audio.h"
#include "platform/Workspace.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <memory>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {
class PcmStreams;
}

namespace tovrik::platform::x11 {

// Converts PCM of any Qt sample format and channel count to mono int16 at
// another rate (channels averaged, linear interpolation). Keeps its place
// between chunks, so a stream converts seamlessly chunk by chunk.
class PcmConverter {
public:
    PcmConverter(QAudioFormat from, int targetRate);
    QByteArray convert(const QByteArray& input);

private:
    QAudioFormat m_from;
    int m_targetRate;
    double m_step;        // input frames per output frame
    double m_position = 0; // of the next output frame, relative to m_previous
    bool m_havePrevious = false;
    float m_previous = 0.f;
};

class X11Workspace : public Workspace {
public:
    bool openURL(const QUrl& url) override;
    // Through xdg-open, whose exit status says whether a program took the
    // URL; one still running after 5 s has started a browser in the
    // foreground, which counts as opened.
    void openURL(const QUrl& url, std::function<void(bool opened)> done) override;
};

class X11AudioInput : public AudioInput {
public:
    std::unique_ptr<AudioInputStream> start(int sampleRate, std::function<void(const QByteArray&)> onSamples,
                                            QString* error) override;
};

// Plays by decoding with GStreamer into a PulseAudio stream as the samples
// come (X11DecodedPlayback.h says why), or through QMediaPlayer where
// GStreamer's decoding elements are missing.
// Whether MPEG plays is found out once, by the backend itself: the format
// lists some backends publish leave MP3 out although they decode it.
class X11AudioOutput : public AudioOutput {
public:
    X11AudioOutput();
    ~X11AudioOutput() override;
    std::unique_ptr<AudioPlayback> play(const QByteArray& encoded, const QString& mimeType,
                                        std::function<void(const QString&)> finished) override;
    // The first call opens forty silent MPEG frames in a player of its own
    // (no output device needed); its verdict is kept and every later call
    // gets it at once. A backend that says nothing within 10 s is taken at
    // its word that it plays.
    void probeMpegPlayback(std::function<void(const QString&)> done) override;

    // Forty frames of MPEG-1 Layer III silence (44.1 kHz, 32 kbit/s, mono).
    static QByteArray silentMpegFrames();

    struct Retired;

private:
    class MpegProbe;
    void probeEnded(const QString& problem);
    QObject m_context;
    std::unique_ptr<MpegProbe> m_probe; // kept after its verdict, until this output goes
    std::optional<QString> m_mpegProblem;
    std::vector<std::function<void(const QString&)>> m_probeWaiting;
    std::shared_ptr<Retired> m_retired;
    std::shared_ptr<PcmStreams> m_streams;
};

} // namespace tovrik::platform::x11
