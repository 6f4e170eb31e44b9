// Spoken answers measured from outside (scripts/measure-speech.sh):
//
//   tovrik-bench-speech tone SECONDS      raw 44.1 kHz mono 16-bit sine on stdout
//   tovrik-bench-speech play FILE          plays FILE through the program's own
//                                          output and reports its figures
//   tovrik-bench-speech listen -- CMD...   records the default sink's monitor
//                                          (without keeping it awake), waits until
//                                          the sink is suspended, runs CMD and
//                                          reports when the first sound was heard
//
// `play` prints "play <ns>" (CLOCK_MONOTONIC) as it hands the clip over,
// then, once finished: its resident memory before (the clip already held),
// at its peak and 2 s after, its threads before and after, and the CPU time
// the process spent from the hand-over to the finish. `listen` measures
// the first sound from that "play" line where the command prints one, else
// from the command's start, and reports the command's CPU time and peak
// resident memory.

#include "platform/x11/X11Media.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <pulse/pulseaudio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double statusMiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(QByteArray(field) + ':'))
            return line.mid(int(strlen(field)) + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

int threads()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

int tone(double seconds)
{
    const long count = long(44100 * seconds);
    std::vector<int16_t> block(44100);
    for (long done = 0; done < count; done += long(block.size())) {
        const long n = std::min<long>(long(block.size()), count - done);
        for (long i = 0; i < n; ++i)
            block[size_t(i)] = int16_t(std::lround(12000 * std::sin(2 * M_PI * 440 * double(done + i) / 44100.0)));
        fwrite(block.data(), 2, size_t(n), stdout);
    }
    return 0;
}

int play(int argc, char** argv, const char* path)
{
    QCoreApplication app(argc, argv);
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray clip = file.readAll();
    tovrik::platform::x11::X11AudioOutput output;
    std::unique_ptr<tovrik::platform::AudioPlayback> playback;
    double idleRss = 0, peakRss = 0, startCpu = 0, cpu = 0;
    int idleThreads = 0;
    QString error;
    // As the program does: the verdict on MPEG first, then the answer.
    output.probeMpegPlayback([&](const QString&) {
        QTimer::singleShot(1000, &app, [&]() {
            idleRss = statusMiB("VmRSS");
            idleThreads = threads();
            QFile clear(QStringLiteral("/proc/self/clear_refs"));
            if (clear.open(QIODevice::WriteOnly))
                clear.write("5");
            startCpu = cpuMs();
            printf("play %lld\n", monotonicNs());
            fflush(stdout);
            playback = output.play(clip, QStringLiteral("audio/mpeg"), [&](const QString& e) {
                cpu = cpuMs() - startCpu;
                peakRss = statusMiB("VmHWM");
                error = e;
                QTimer::singleShot(2000, &app, &QCoreApplication::quit);
            });
        });
    });
    app.exec();
    playback.reset();
    printf("result %s\nidle_rss_mib %.1f\npeak_rss_mib %.1f\nafter_rss_mib %.1f\nidle_threads %d\nafter_threads %d\n"
           "cpu_ms %.0f\n",
           error.isEmpty() ? "ok" : qPrintable(error), idleRss, peakRss, statusMiB("VmRSS"), idleThreads, threads(), cpu);
    return error.isEmpty() ? 0 : 1;
}

// The default sink's monitor, recorded in 10 ms fragments; the time the
// first loud sample was played is taken from the arrival of its fragment.
struct Listener {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    long long firstLoudNs = 0;

    static void read(pa_stream* s, size_t, void* self)
    {
        auto* l = static_cast<Listener*>(self);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            const long long now = monotonicNs();
            const auto* samples = static_cast<const int16_t*>(data);
            const size_t n = bytes / 2;
            for (size_t i = 0; data && i < n && l->firstLoudNs == 0; ++i)
                if (std::abs(samples[i]) > 1000)
                    l->firstLoudNs = now - (long long)(n - i) * 1000000000LL / 44100;
            pa_stream_drop(s);
        }
    }
    bool start(const char* monitor)
    {
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "tovrik-bench-listen");
        pa_context_set_state_callback(context, [](pa_context*, void* m) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0);
        }, loop);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 || pa_threaded_mainloop_start(loop) < 0)
            return false;
        pa_threaded_mainloop_lock(loop);
        while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && pa_context_get_state(context) != PA_CONTEXT_READY)
            pa_threaded_mainloop_wait(loop);
        const pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 1};
        stream = pa_stream_new(context, "monitor", &spec, nullptr);
        pa_stream_set_read_callback(stream, &Listener::read, this);
        pa_buffer_attr attr{uint32_t(-1), uint32_t(-1), uint32_t(-1), uint32_t(-1), 44100 * 2 / 100};
        const bool ok = pa_context_get_state(context) == PA_CONTEXT_READY
                        && pa_stream_connect_record(stream, monitor, &attr,
                                                    pa_stream_flags_t(PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND
                                                                      | PA_STREAM_ADJUST_LATENCY)) == 0;
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }
    long long firstLoud()
    {
        pa_threaded_mainloop_lock(loop);
        const long long t = firstLoudNs;
        pa_threaded_mainloop_unlock(loop);
        return t;
    }
};

bool sinkSuspended()
{
    FILE* p = popen("pactl list sinks short", "r");
    if (!p)
        return false;
    char line[512];
    bool suspended = false;
    const QByteArray sink = qgetenv("TOVRIK_TEST_PULSE_SINK");
    while (fgets(line, sizeof line, p))
        if (QByteArray(line).contains(sink) && QByteArray(line).contains("SUSPENDED"))
            suspended = true;
    pclose(p);
    return suspended;
}

int listen(char** command)
{
    const QByteArray monitor = qgetenv("TOVRIK_TEST_PULSE_SINK") + ".monitor";
    Listener listener;
    if (!listener.start(monitor.constData()))
        return 2;
    for (int i = 0; i < 100 && !sinkSuspended(); ++i)
        usleep(100000);
    if (!sinkSuspended()) {
        fprintf(stderr, "listen: the sink did not suspend\n");
        return 2;
    }
    int out[2];
    if (pipe(out) != 0)
        return 2;
    const long long spawned = monotonicNs();
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execvp(command[0], command);
        _exit(127);
    }
    close(out[1]);
    long long playAt = 0;
    FILE* lines = fdopen(out[0], "r");
    char line[512];
    while (fgets(line, sizeof line, lines)) {
        long long t = 0;
        if (sscanf(line, "play %lld", &t) == 1)
            playAt = t;
        else
            fputs(line, stdout);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    usleep(300000);
    const long long heard = listener.firstLoud();
    const long long from = playAt ? playAt : spawned;
    printf("first_sound_ms %.1f\nfrom %s\nchild_cpu_ms %.0f\nchild_peak_rss_mib %.1f\nexit %d\n",
           heard ? (heard - from) / 1e6 : -1.0, playAt ? "hand-over" : "start",
           (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
               + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3,
           usage.ru_maxrss / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "tone" && argc == 3)
        return tone(atof(argv[2]));
    if (mode == "play" && argc == 3)
        return play(argc, argv, argv[2]);
    if (mode == "listen" && argc > 3 && QByteArray(argv[2]) == "--")
        return listen(argv + 3);
    fprintf(stderr, "usage: tovrik-bench-speech tone SECONDS | play FILE | listen -- COMMAND...\n");
    return 2;
}
