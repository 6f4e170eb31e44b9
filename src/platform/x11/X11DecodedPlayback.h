#pragma once

// Speech played as it is decoded: GStreamer decodes the clip from memory
// (appsrc ! decodebin ! audioconvert ! audioresample ! appsink) and the PCM
// is written to a PulseAudio stream of its own as the server asks for it.
//
// Qt's media player hands the clip to a pipeline that runs on the system
// clock, with the audio sink slaved to it: while the sound server has not
// started playing the stream yet (a sink waking from suspension, a loaded
// machine) the sink's own clock stands still, the pipeline's does not, and
// the sink catches up by skipping audio. A sound-server stream written
// sample by sample has no clock to catch up with: a late start only starts
// later, and a late write only waits.
//
// Nothing waits on a timer: the decoder's thread blocks while the bounded
// queue between it and the stream is full (the appsink's few buffers), and
// the stream is written when the server asks for more (its half second of
// buffer runs low) or when the decoder hands over a buffer the server is
// waiting for. Neither the main thread nor the disk takes part: a main
// thread held up cannot starve the stream, and a full disk does not stop it.

#include "platform/Audio.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QTemporaryFile;

namespace tovrik::platform::x11 {

class PcmStream;

// The clip in a file of its own (0600, in the user's runtime folder where
// there is one) that the media backend reads by itself; null when it cannot
// be written. Only the media player path (a system without GStreamer's
// decoding elements) uses it.
std::unique_ptr<QTemporaryFile> privateClipFile(const QByteArray& encoded, const QString& suffix);

// The streams an output has playing, or playing out their tail after their
// completion. Each has its own sound-server connection and threads, which
// end with it; the destructor ends every one still here. Only touched on
// the main thread.
class PcmStreams {
public:
    PcmStreams() = default;
    ~PcmStreams();
    PcmStreams(const PcmStreams&) = delete;
    PcmStreams& operator=(const PcmStreams&) = delete;

    void add(std::shared_ptr<PcmStream> stream);
    // Ends `stream` (its threads joined) and lets it go.
    void remove(const PcmStream* stream);

private:
    std::vector<std::shared_ptr<PcmStream>> m_streams;
};

// Whether GStreamer's decoding elements are here (appsrc, decodebin,
// audioconvert, audioresample, appsink).
bool decodedPlaybackSupported();

// Decodes and plays `encoded` as it goes. `finished` runs on the main thread
// once, with an empty text when the last sample has been played or the
// error; never after the playback's stop(). A playback stopped before that
// ends its stream at once; one stopped after it lets the stream play out
// what the sound server still holds.
std::unique_ptr<AudioPlayback> playDecoded(const QByteArray& encoded, std::function<void(const QString&)> finished,
                                           const std::shared_ptr<PcmStreams>& streams);

} // namespace tovrik::platform::x11
