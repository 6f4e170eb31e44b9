#include "platform/x11/X11DecodedPlayback.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>

namespace tovrik::platform::x11 {

namespace {

// What the sound server is given ahead of what it plays: the decoder may be
// held up this long without a gap.
constexpr pa_usec_t kBufferUsecs = 500000;
// Decoded buffers (about 26 ms each for MPEG) waiting between the decoder
// and the stream; the decoder waits while they are all taken.
constexpr guint kQueuedBuffers = 4;
// What the decoder is handed at a time.
constexpr qsizetype kChunkBytes = 16384;
// A playback that writes nothing to the server this long (a decoder that
// makes nothing of the clip, a server that stopped taking audio or never
// answers) has failed.
constexpr pa_usec_t kStallUsecs = 5000000;
// After the last sample was played, the stream stays this long before it is
// closed: a sink still holds what it mixed ahead, and closing the stream
// would take that back.
constexpr pa_usec_t kTailUsecs = 1000000;
// Tries at connecting to the sound server, and the pause between them.
constexpr int kConnectAttempts = 5;
constexpr pa_usec_t kConnectRetryUsecs = 100000;
// The longest a sink is believed to hold before the last sample is heard.
constexpr pa_usec_t kMostLatencyUsecs = 2000000;

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

bool gstreamerReady()
{
    static const bool ready = [] {
        // GLib keeps finished streaming threads for reuse; an answer's
        // threads end with it instead.
        g_thread_pool_set_max_unused_threads(0);
        return gst_init_check(nullptr, nullptr, nullptr) != FALSE;
    }();
    return ready;
}

} // namespace

// One clip from decoder to sound server. Its state is shared by the main
// thread, the PulseAudio loop's thread and GStreamer's streaming threads,
// and guarded by the loop's lock; close() (main thread) ends the loop and
// the pipeline, joining their threads, after which nothing runs in it.
class PcmStream {
public:
    PcmStream(const QByteArray& encoded, Finished finished, std::weak_ptr<PcmStreams> owner)
        : m_encoded(encoded), m_finished(std::move(finished)), m_owner(std::move(owner))
    {
    }
    ~PcmStream() { close(); }

    void start()
    {
        if (!gstreamerReady() || !buildPipeline()) {
            fail(undecodable());
            return;
        }
        m_loop = pa_threaded_mainloop_new();
        m_context = m_loop ? pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Tovrik") : nullptr;
        if (!m_context) {
            fail(QStringLiteral("No audio output is available."));
            return;
        }
        m_lastProgress = pa_rtclock_now();
        m_watchdog = pa_context_rttime_new(m_context, m_lastProgress + kStallUsecs, &PcmStream::watch, this);
        if (pa_threaded_mainloop_start(m_loop) < 0) {
            fail(QStringLiteral("No audio output is available."));
            return;
        }
        locked([](PcmStream* s) { s->connect(); });
        m_started = true;
        if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            pa_threaded_mainloop_lock(m_loop);
            fail(undecodable());
            pa_threaded_mainloop_unlock(m_loop);
        }
    }

    // The playback let go: the stream ends at once, unless it has played
    // whole and is only playing out its tail.
    void stop()
    {
        bool completed = false;
        if (m_loop) {
            pa_threaded_mainloop_lock(m_loop);
            completed = m_completed;
            pa_threaded_mainloop_unlock(m_loop);
        }
        if (completed)
            return;
        if (auto owner = m_owner.lock())
            owner->remove(this);
        else
            close();
    }

    // Ends everything, on the main thread; idempotent.
    void close()
    {
        if (m_closed)
            return;
        m_closed = true;
        if (m_loop) {
            pa_threaded_mainloop_lock(m_loop);
            m_done = true;
            pa_threaded_mainloop_unlock(m_loop);
            if (m_started)
                pa_threaded_mainloop_stop(m_loop);
        }
        // The loop no longer runs: a streaming thread entering a callback
        // finds the playback done and returns.
        if (m_pipeline) {
            gst_element_set_state(m_pipeline, GST_STATE_NULL);
            gst_object_unref(m_pipeline);
            m_pipeline = nullptr;
        }
        if (m_sample)
            gst_sample_unref(std::exchange(m_sample, nullptr));
        if (m_stream) {
            pa_stream_disconnect(m_stream);
            pa_stream_unref(std::exchange(m_stream, nullptr));
        }
        pa_mainloop_api* api = m_loop ? pa_threaded_mainloop_get_api(m_loop) : nullptr;
        for (pa_time_event* event :
             {std::exchange(m_watchdog, nullptr), std::exchange(m_timer, nullptr), std::exchange(m_retry, nullptr)})
            if (event && api)
                api->time_free(event);
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(std::exchange(m_context, nullptr));
        }
        if (m_loop)
            pa_threaded_mainloop_free(std::exchange(m_loop, nullptr));
    }

private:
    bool buildPipeline()
    {
        m_pipeline = gst_pipeline_new(nullptr);
        m_source = gst_element_factory_make("appsrc", nullptr);
        GstElement* decode = gst_element_factory_make("decodebin", nullptr);
        m_convert = gst_element_factory_make("audioconvert", nullptr);
        GstElement* resample = gst_element_factory_make("audioresample", nullptr);
        m_sink = gst_element_factory_make("appsink", nullptr);
        GstElement* elements[] = {m_source, decode, m_convert, resample, m_sink};
        if (!m_pipeline || std::any_of(std::begin(elements), std::end(elements), [](GstElement* e) { return !e; })) {
            for (GstElement* e : elements)
                if (e)
                    gst_object_unref(gst_object_ref_sink(e));
            m_source = m_convert = m_sink = nullptr;
            return false;
        }
        gst_bin_add_many(GST_BIN(m_pipeline), m_source, decode, m_convert, resample, m_sink, nullptr);
        if (!gst_element_link(m_source, decode) || !gst_element_link_many(m_convert, resample, m_sink, nullptr))
            return false;
        g_signal_connect(decode, "pad-added", G_CALLBACK(&PcmStream::padAdded), this);

        g_object_set(m_source, "format", GST_FORMAT_BYTES, "max-bytes", guint64(kChunkBytes * 2), nullptr);
        gst_app_src_set_stream_type(GST_APP_SRC(m_source), GST_APP_STREAM_TYPE_STREAM);
        gst_app_src_set_size(GST_APP_SRC(m_source), m_encoded.size());
        GstAppSrcCallbacks sourceCallbacks{};
        sourceCallbacks.need_data = &PcmStream::needData;
        gst_app_src_set_callbacks(GST_APP_SRC(m_source), &sourceCallbacks, this, nullptr);

        GstCaps* caps = gst_caps_from_string("audio/x-raw,format=S16LE,layout=interleaved,channels=[1,2]");
        gst_app_sink_set_caps(GST_APP_SINK(m_sink), caps);
        gst_caps_unref(caps);
        gst_app_sink_set_max_buffers(GST_APP_SINK(m_sink), kQueuedBuffers);
        gst_app_sink_set_drop(GST_APP_SINK(m_sink), FALSE);
        g_object_set(m_sink, "sync", FALSE, nullptr);
        GstAppSinkCallbacks sinkCallbacks{};
        sinkCallbacks.eos = &PcmStream::decodedAll;
        sinkCallbacks.new_sample = &PcmStream::decodedMore;
        gst_app_sink_set_callbacks(GST_APP_SINK(m_sink), &sinkCallbacks, this, nullptr);

        GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
        gst_bus_set_sync_handler(bus, &PcmStream::busMessage, this, nullptr);
        gst_object_unref(bus);
        return true;
    }

    // ---- GStreamer's streaming threads ----

    static void needData(GstAppSrc* source, guint, gpointer self)
    {
        auto* s = static_cast<PcmStream*>(self);
        if (s->m_fed >= s->m_encoded.size()) {
            gst_app_src_end_of_stream(source);
            return;
        }
        const qsizetype n = std::min(kChunkBytes, s->m_encoded.size() - s->m_fed);
        gst_app_src_push_buffer(source, gst_buffer_new_memdup(s->m_encoded.constData() + s->m_fed, gsize(n)));
        s->m_fed += n;
    }
    static void padAdded(GstElement*, GstPad* pad, gpointer self)
    {
        auto* s = static_cast<PcmStream*>(self);
        GstCaps* caps = gst_pad_get_current_caps(pad);
        if (!caps)
            caps = gst_pad_query_caps(pad, nullptr);
        const bool audio = caps && gst_caps_get_size(caps) > 0
                           && g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "audio/");
        if (caps)
            gst_caps_unref(caps);
        GstPad* sinkPad = gst_element_get_static_pad(s->m_convert, "sink");
        if (audio && !gst_pad_is_linked(sinkPad))
            gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
    }
    static GstFlowReturn decodedMore(GstAppSink*, gpointer self)
    {
        static_cast<PcmStream*>(self)->locked([](PcmStream* s) { s->pump(); });
        return GST_FLOW_OK;
    }
    static void decodedAll(GstAppSink*, gpointer self)
    {
        static_cast<PcmStream*>(self)->locked([](PcmStream* s) {
            s->m_decodedAll = true;
            s->pump();
        });
    }
    static GstBusSyncReply busMessage(GstBus*, GstMessage* message, gpointer self)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
            static_cast<PcmStream*>(self)->locked([](PcmStream* s) { s->fail(undecodable()); });
        return GST_BUS_DROP;
    }
    template <typename F>
    void locked(F f)
    {
        pa_threaded_mainloop_lock(m_loop);
        f(this);
        pa_threaded_mainloop_unlock(m_loop);
    }

    // ---- the PulseAudio loop's thread (or under its lock) ----

    static void contextState(pa_context* context, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY)
            s->pump();
        else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            if (s->m_stream)
                s->fail(QStringLiteral("The audio output failed."));
            else
                s->retryConnection();
        }
    }
    // Connects the context (under the loop's lock once the loop runs).
    void connect()
    {
        if (m_done)
            return;
        pa_context_set_state_callback(m_context, &PcmStream::contextState, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            retryConnection();
    }
    // A server that refuses a connection may only be busy (its queue of
    // connections full): a few more tries, a tenth of a second apart, before
    // the playback fails.
    void retryConnection()
    {
        if (m_done)
            return;
        if (++m_connectAttempts >= kConnectAttempts) {
            fail(QStringLiteral("No audio output is available."));
            return;
        }
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Tovrik");
        if (!m_context) {
            m_done = true;
            reportOnMainThread(m_finished, QStringLiteral("No audio output is available."));
            release();
            return;
        }
        const pa_usec_t at = pa_rtclock_now() + kConnectRetryUsecs;
        if (m_retry)
            pa_context_rttime_restart(m_context, m_retry, at);
        else
            m_retry = pa_context_rttime_new(m_context, at, [](pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                                              void* self) { static_cast<PcmStream*>(self)->connect(); },
                                            this);
    }
    static void streamState(pa_stream* stream, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            s->pump();
        else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            s->fail(QStringLiteral("The audio output failed."));
    }
    static void writable(pa_stream*, size_t, void* self) { static_cast<PcmStream*>(self)->pump(); }
    static void watch(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        if (s->m_done || s->m_completed)
            return;
        if (pa_rtclock_now() < s->m_lastProgress + kStallUsecs) {
            pa_context_rttime_restart(s->m_context, s->m_watchdog, s->m_lastProgress + kStallUsecs);
            return;
        }
        if (s->m_stream)
            s->fail(QStringLiteral("The sound server stopped playing the audio."));
        else if (pa_context_get_state(s->m_context) == PA_CONTEXT_READY)
            s->fail(undecodable());
        else
            s->fail(QStringLiteral("No audio output is available."));
    }

    // Takes the next decoded buffer, if the decoder has one ready.
    bool takeSample()
    {
        if (m_sample)
            return true;
        m_sample = gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink), 0);
        m_offset = 0;
        return m_sample != nullptr;
    }
    bool sampleSpec(pa_sample_spec* spec) const
    {
        const GstCaps* caps = gst_sample_get_caps(m_sample);
        const GstStructure* s = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        int rate = 0, channels = 0;
        if (!s || !gst_structure_get_int(s, "rate", &rate) || !gst_structure_get_int(s, "channels", &channels))
            return false;
        *spec = {PA_SAMPLE_S16LE, uint32_t(rate), uint8_t(channels)};
        return pa_sample_spec_valid(spec);
    }
    void openStream()
    {
        pa_sample_spec spec;
        if (!sampleSpec(&spec)) {
            fail(undecodable());
            return;
        }
        m_spec = spec;
        m_stream = pa_stream_new(m_context, "Speech", &m_spec, nullptr);
        if (!m_stream) {
            fail(QStringLiteral("The audio output could not be opened."));
            return;
        }
        pa_stream_set_state_callback(m_stream, &PcmStream::streamState, this);
        pa_stream_set_write_callback(m_stream, &PcmStream::writable, this);
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(pa_usec_to_bytes(kBufferUsecs, &m_spec));
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = uint32_t(-1);
        if (pa_stream_connect_playback(m_stream, nullptr, &attr, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0)
            fail(QStringLiteral("The audio output could not be opened."));
    }
    // Moves decoded audio to the server, as much as it takes now.
    void pump()
    {
        if (m_done || m_draining)
            return;
        if (!m_stream) {
            if (pa_context_get_state(m_context) != PA_CONTEXT_READY)
                return;
            if (takeSample())
                openStream();
            else if (m_decodedAll)
                fail(undecodable()); // nothing came out of the decoder
            return;
        }
        if (pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return;
        size_t room = pa_stream_writable_size(m_stream);
        while (room != size_t(-1) && room > 0) {
            if (!m_sample && !takeSample())
                break;
            pa_sample_spec spec;
            if (m_offset == 0 && (!sampleSpec(&spec) || !pa_sample_spec_equal(&spec, &m_spec))) {
                fail(undecodable());
                return;
            }
            GstBuffer* buffer = gst_sample_get_buffer(m_sample);
            GstMapInfo map;
            if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                fail(undecodable());
                return;
            }
            const size_t n = std::min(room, map.size - m_offset);
            const int written = n > 0 ? pa_stream_write(m_stream, map.data + m_offset, n, nullptr, 0, PA_SEEK_RELATIVE) : 0;
            gst_buffer_unmap(buffer, &map);
            if (written < 0) {
                fail(QStringLiteral("The audio output failed."));
                return;
            }
            m_offset += n;
            room -= n;
            m_lastProgress = pa_rtclock_now();
            if (m_offset >= map.size)
                gst_sample_unref(std::exchange(m_sample, nullptr));
        }
        if (!m_sample && m_decodedAll && !takeSample()) {
            m_draining = true;
            m_lastProgress = pa_rtclock_now();
            // A clip shorter than the buffer starts now rather than waiting
            // for the buffer to fill.
            pa_operation_unref(pa_stream_trigger(m_stream, nullptr, nullptr));
            pa_operation_unref(pa_stream_drain(m_stream, &PcmStream::drained, this));
        }
    }
    static void drained(pa_stream* stream, int success, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        if (s->m_done)
            return;
        if (!success) {
            s->fail(QStringLiteral("The audio output failed."));
            return;
        }
        pa_operation_unref(pa_stream_update_timing_info(stream, &PcmStream::timed, self));
    }
    // All of it is in the sink: heard once the sink's latency has passed.
    static void timed(pa_stream* stream, int, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        if (s->m_done)
            return;
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &latency, &negative) < 0 || negative)
            latency = 0;
        s->m_completed = true;
        s->m_timer = pa_context_rttime_new(s->m_context, pa_rtclock_now() + std::min(latency, kMostLatencyUsecs),
                                           &PcmStream::heard, self);
    }
    static void heard(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self)
    {
        auto* s = static_cast<PcmStream*>(self);
        if (s->m_done)
            return;
        if (!s->m_reported) {
            s->m_reported = true;
            reportOnMainThread(s->m_finished, QString());
            pa_context_rttime_restart(s->m_context, event, pa_rtclock_now() + kTailUsecs);
            return;
        }
        s->m_done = true;
        s->release();
    }
    void fail(const QString& error)
    {
        if (m_done)
            return;
        m_done = true;
        if (!std::exchange(m_reported, true))
            reportOnMainThread(m_finished, error);
        release();
    }
    // Asks the main thread to end this stream (its threads cannot end
    // themselves).
    void release()
    {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [owner = m_owner, self = this]() {
                    if (auto streams = owner.lock())
                        streams->remove(self);
                },
                Qt::QueuedConnection);
    }

    const QByteArray m_encoded;
    const Finished m_finished;
    const std::weak_ptr<PcmStreams> m_owner;
    qsizetype m_fed = 0; // appsrc's thread only

    GstElement* m_pipeline = nullptr;
    GstElement* m_source = nullptr;
    GstElement* m_convert = nullptr;
    GstElement* m_sink = nullptr;

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_watchdog = nullptr;
    pa_time_event* m_timer = nullptr;
    pa_time_event* m_retry = nullptr;
    int m_connectAttempts = 0;
    pa_sample_spec m_spec{};
    bool m_started = false; // main thread only
    bool m_closed = false;  // main thread only

    // Under the loop's lock.
    GstSample* m_sample = nullptr;
    size_t m_offset = 0;
    pa_usec_t m_lastProgress = 0;
    bool m_decodedAll = false;
    bool m_draining = false;
    bool m_completed = false; // drained: only the tail is left
    bool m_reported = false;
    bool m_done = false;
};

namespace {

class DecodedPlayback : public AudioPlayback {
public:
    DecodedPlayback(std::shared_ptr<PcmStream> stream, Finished finished)
        : m_stream(std::move(stream)), m_finished(std::move(finished))
    {
    }
    ~DecodedPlayback() override { stop(); }
    void stop() override
    {
        *m_finished = nullptr;
        if (auto stream = std::exchange(m_stream, nullptr))
            stream->stop();
    }

private:
    std::shared_ptr<PcmStream> m_stream;
    Finished m_finished;
};

} // namespace

PcmStreams::~PcmStreams()
{
    // Newest first; each closes as it goes.
    while (!m_streams.empty()) {
        const std::shared_ptr<PcmStream> stream = std::move(m_streams.back());
        m_streams.pop_back();
        stream->close();
    }
}

void PcmStreams::add(std::shared_ptr<PcmStream> stream)
{
    m_streams.push_back(std::move(stream));
}

void PcmStreams::remove(const PcmStream* stream)
{
    const auto it = std::find_if(m_streams.begin(), m_streams.end(),
                                 [stream](const std::shared_ptr<PcmStream>& s) { return s.get() == stream; });
    if (it == m_streams.end())
        return;
    const std::shared_ptr<PcmStream> owned = std::move(*it);
    m_streams.erase(it);
    owned->close();
}

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

bool decodedPlaybackSupported()
{
    static const bool supported = [] {
        if (!gstreamerReady())
            return false;
        for (const char* name : {"appsrc", "decodebin", "audioconvert", "audioresample", "appsink"}) {
            GstElementFactory* factory = gst_element_factory_find(name);
            if (!factory)
                return false;
            gst_object_unref(factory);
        }
        return true;
    }();
    return supported;
}

std::unique_ptr<AudioPlayback> playDecoded(const QByteArray& encoded, std::function<void(const QString&)> finished,
                                           const std::shared_ptr<PcmStreams>& streams)
{
    auto shared = std::make_shared<std::function<void(const QString&)>>(std::move(finished));
    auto stream = std::make_shared<PcmStream>(encoded, shared, streams);
    streams->add(stream);
    stream->start();
    return std::make_unique<DecodedPlayback>(std::move(stream), std::move(shared));
}

} // namespace tovrik::platform::x11
