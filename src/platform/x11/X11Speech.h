#pragma once

// The system voice: QTextToSpeech (speech-dispatcher where installed, else
// flite), driven from a thread of its own.
//
// Neither engine can be trusted with the main thread or with a sound server
// that has gone. speech-dispatcher's client library waits for every reply
// with no bound, and a daemon whose output module hangs (its sound server
// died under it) never replies: creating the engine alone then blocked for
// good. It never says either when the daemon dies mid-sentence. Qt's flite
// engine crashes opening its output where no sound server answers. So every
// call into an engine runs on the voice thread; a speech starts only after
// the sound server has answered a connection of its own; and an engine
// stuck in a call is left behind with its thread, for a fresh one.

#include "platform/Audio.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QThread;

namespace tovrik::platform::x11 {

class VoiceWorker;

// Whether a PulseAudio server answers (a connection of its own made ready)
// within `timeoutMs`; false at once where none listens. Blocks; never on the
// main thread.
bool soundServerAnswers(int timeoutMs);

class X11Speech : public SpeechSynthesizer {
public:
    X11Speech();
    ~X11Speech() override;
    // Whether an engine is installed and Qt sees an audio output; speak()
    // finds out the rest.
    bool isAvailable() override;
    // `finished` runs on the main thread once: empty when spoken, "No system
    // voice is available." when no engine starts or no sound server answers
    // within a second, else the engine's reason. Never after stop().
    void speak(const QString& text, std::function<void(const QString&)> finished) override;
    // Ends the running speech; an engine that was still speaking is
    // replaced at the next speech, so that a daemon gone mid-sentence is
    // not asked again.
    void stop() override;

    struct Voice; // a worker and its thread

private:
    void retire();
    std::unique_ptr<Voice> m_voice;
    std::vector<std::unique_ptr<Voice>> m_retired; // stuck in an engine call
    std::shared_ptr<std::function<void(quint64, const QString&)>> m_report;
    std::function<void(const QString&)> m_pending;
    quint64 m_speech = 0; // the speech m_pending belongs to
};

} // namespace tovrik::platform::x11
