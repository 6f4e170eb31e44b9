#pragma once

// Speech played as PCM: the clip is decoded whole by QAudioDecoder (reading a
// private file), then written to a sound-server stream by QAudioSink from a
// thread of its own.
//
// Qt's media player hands the clip to a pipeline that runs on the system
// clock, with the audio sink slaved to it: while the sound server has not
// started playing the stream yet (a sink waking from suspension, a loaded
// machine) the sink's own clock stands still, the pipeline's does not, and
// the sink catches up by skipping audio. A sound-server stream written
// sample by sample has no clock to catch up with: a late start only starts
// later, and a late write only waits.

#include "platform/Audio.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QObject;
class QTemporaryFile;
class QThread;

namespace tovrik::platform::x11 {

class PcmFeedContext;

// The clip in a file of its own (0600, in the user's runtime folder where
// there is one) that the media backend reads by itself; null when it cannot
// be written.
std::unique_ptr<QTemporaryFile> privateClipFile(const QByteArray& encoded, const QString& suffix);

// The thread that writes decoded speech to the sound server, so that a main
// thread held up (a loaded desktop, a long paint) does not starve it.
// Started at the first playback; its destructor ends every stream still on
// it, then the thread.
class PcmFeedThread {
public:
    PcmFeedThread();
    ~PcmFeedThread();
    PcmFeedThread(const PcmFeedThread&) = delete;
    PcmFeedThread& operator=(const PcmFeedThread&) = delete;
    // The object living in the thread that owns the streams.
    PcmFeedContext* context();

private:
    std::unique_ptr<QThread> m_thread;
    PcmFeedContext* m_context = nullptr;
};

// Whether the media backend decodes to PCM at all (the GStreamer and FFmpeg
// backends do).
bool decodedPlaybackSupported();

// Decodes `encoded` and plays it on `thread`. `finished` runs on the main
// thread once, with an empty text when the last sample has been played or
// the error; never after the playback's stop(). A playback stopped before
// that ends its stream at once; one stopped after it lets the stream play
// out what the sound server still holds.
std::unique_ptr<AudioPlayback> playDecoded(const QByteArray& encoded, const QString& suffix,
                                           std::function<void(const QString&)> finished,
                                           std::weak_ptr<PcmFeedThread> thread);

} // namespace tovrik::platform::x11
