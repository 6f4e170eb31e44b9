#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace tovrik::platform {

// The microphone: mono 16-bit PCM delivered in chunks.
class AudioInputStream {
public:
    // Lets the stream go; what it had not delivered yet is dropped.
    virtual ~AudioInputStream() = default;
    // Stops capturing at this moment: every sample captured up to now that
    // the sound server still holds is delivered through `onSamples` before
    // this returns (waiting briefly for it), and none captured later.
    virtual void stop() = 0;
};

class AudioInput {
public:
    virtual ~AudioInput() = default;
    // Starts capturing at `sampleRate`; `onSamples` runs on the main thread
    // with little-endian int16 mono samples. Null with `error` set on failure.
    virtual std::unique_ptr<AudioInputStream> start(int sampleRate,
                                                    std::function<void(const QByteArray& pcm)> onSamples,
                                                    QString* error) = 0;
};

// Playback of encoded audio (MPEG from the speech service).
class AudioPlayback {
public:
    virtual ~AudioPlayback() = default;
    virtual void stop() = 0;
};

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Plays `encoded`; `finished` runs on the main thread once, with an empty
    // text on success or the error message. Never called after stop().
    virtual std::unique_ptr<AudioPlayback> play(const QByteArray& encoded, const QString& mimeType,
                                                std::function<void(const QString& error)> finished) = 0;
    // Finds out whether this machine can decode MPEG audio at all, by letting
    // the media backend open a few silent frames. `done` runs on the main
    // thread once, with an empty text when it can or the backend's reason.
    virtual void probeMpegPlayback(std::function<void(const QString& problem)> done) = 0;
};

// The system voice.
class SpeechSynthesizer {
public:
    virtual ~SpeechSynthesizer() = default;
    virtual bool isAvailable() = 0;
    // `finished` runs on the main thread once (empty text = success).
    virtual void speak(const QString& text, std::function<void(const QString& error)> finished) = 0;
    virtual void stop() = 0;
};

} // namespace tovrik::platform
