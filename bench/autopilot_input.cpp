// UI Autopilot's synthetic input on a real X server (the bench command's
// Xvfb), each figure beside a reference measured in the same run:
//  - typing: the time per character, and what it takes beyond the 2 ms
//    pause between characters, for ASCII and for non-ASCII text (which lends
//    spare keys their symbols), against `xdotool type --delay 2` of the same
//    text on the same server (its process start, measured with an empty
//    text, taken out); the ratio is ours over xdotool's time per character;
//  - typing into a program that reads what it gets (a terminal writing its
//    input to a file): a mixed text of 2,000 characters, about 74 distinct
//    ones a line that the US layout lacks, and a text of the same length
//    that the layout has keys for, each typed by us and by
//    `xdotool type --delay 2` into a fresh terminal; ms per character, the
//    ratio of our mixed text to our keymap-only text, and whether each came
//    out exactly (1) or not (0), xdotool's too;
//  - posting: one synthetic click's round trip (press and release posted,
//    until our own tap has seen the release as ours), against one bare X
//    round trip (GetInputFocus) on a connection of its own.

#include "autopilot/DesktopInputService.h"
#include "platform/Platform.h"
#include "platform/x11/X11Platform.h"
#include "platform/x11/Xcb.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTextBoundaryFinder>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <condition_variable>
#include <mutex>

using namespace tovrik;

namespace {

bool setUp(benchmark::State& state)
{
    if (!QCoreApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tovrik_bench";
        static char* argv[] = {name, nullptr};
        new QGuiApplication(argc, argv);
    }
    if (!platform::Platform::isInstalled() || !dynamic_cast<platform::x11::X11Platform*>(&platform::Platform::get()))
        platform::Platform::install(std::make_unique<platform::x11::X11Platform>());
    if (!static_cast<platform::x11::X11Platform&>(platform::Platform::get()).isConnected()) {
        state.SkipWithError("no X server");
        return false;
    }
    return true;
}

int graphemes(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int n = 0;
    while (finder.toNextBoundary() != -1)
        ++n;
    return n;
}

double xdotoolSeconds(const QString& text)
{
    QElapsedTimer timer;
    timer.start();
    QProcess p;
    p.start(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("2"), text});
    p.waitForFinished(60000);
    return timer.nsecsElapsed() / 1e9;
}

void typing(benchmark::State& state, const QString& text);

void BM_Input_TypingOverheadAscii(benchmark::State& state)
{
    typing(state, QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789"));
}

void BM_Input_TypingOverheadNonAscii(benchmark::State& state)
{
    typing(state, QString::fromUtf8("héllo wörld — ✓ 中文 🙂 naïve façade Grüße €5 ½ αβγ"));
}

// Lines of `perLine` distinct characters the US layout lacks (Latin-1
// letters, Greek, Cyrillic, symbols), each line further into the pool, with
// ASCII punctuation, a backslash, a backquote and a tab, `total` characters
// in all.
QString mixedText(int total, int perLine)
{
    QString pool;
    for (char16_t c = 0xc0; c <= 0xff; ++c)
        if (c != 0xd7 && c != 0xf7)
            pool += QChar(c);
    for (char16_t c = 0x3b1; c <= 0x3c9; ++c)
        pool += QChar(c);
    for (char16_t c = 0x391; c <= 0x3a9; ++c)
        if (c != 0x3a2)
            pool += QChar(c);
    for (char16_t c = 0x430; c <= 0x44f; ++c)
        pool += QChar(c);
    for (char16_t c = 0x410; c <= 0x42f; ++c)
        pool += QChar(c);
    pool += QString::fromUtf8("€✓½→日本語ŁőŒœ");
    const QString ascii = QStringLiteral("x,.;:'\"!?\\`-=+*&%$#@~^_|/<>");
    QString text;
    for (int line = 0; text.size() < total; ++line) {
        text += QStringLiteral("L%1\t").arg(line);
        for (int i = 0; i < perLine; ++i) {
            text += pool[(line * 53 + i) % pool.size()];
            if (i % 12 == 11)
                text += ascii[(line + i) % ascii.size()];
        }
        text += QLatin1Char('\n');
    }
    text.truncate(total - 1);
    return text + QLatin1Char('\n');
}

// The same lines of characters the layout has keys for.
QString keymapText(int total)
{
    const QString pool = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ()[]{}");
    const QString ascii = QStringLiteral("x,.;:'\"!?\\`-=+*&%$#@~^_|/<>");
    QString text;
    for (int line = 0; text.size() < total; ++line) {
        text += QStringLiteral("L%1\t").arg(line);
        for (int i = 0; i < 74; ++i) {
            text += pool[(line * 53 + i) % pool.size()];
            if (i % 12 == 11)
                text += ascii[(line + i) % ascii.size()];
        }
        text += QLatin1Char('\n');
    }
    text.truncate(total - 1);
    return text + QLatin1Char('\n');
}

// A terminal whose input goes to a file, under the pointer (there is no
// window manager: the keys go to the window under the pointer).
struct Terminal {
    QTemporaryDir dir;
    QProcess process;
    QString file;
    bool start()
    {
        file = dir.filePath(QStringLiteral("typed"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("xterm"), {QStringLiteral("-u8"), QStringLiteral("-geometry"), QStringLiteral("120x40+0+0"),
                                                QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                QStringLiteral("stty -ixon; cat > \"$0\""), file});
        if (!process.waitForStarted(10000))
            return false;
        for (int i = 0; i < 100 && !QFile::exists(file); ++i)
            QThread::msleep(50);
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("300"), QStringLiteral("200")});
        QThread::msleep(300);
        return QFile::exists(file);
    }
    // Ends the input and returns what the terminal wrote.
    QString finish()
    {
        // An end of input after a line ends it; after part of a line, that
        // part goes out first.
        for (int i = 0; i < 2 && process.state() != QProcess::NotRunning; ++i) {
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("ctrl+d")});
            process.waitForFinished(5000);
        }
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
};

// Typed into a terminal that reads it (characters the layout lacks are typed
// only once the receiving program has read the keyboard map).
void typing(benchmark::State& state, const QString& text)
{
    if (!setUp(state))
        return;
    DesktopInputService service;
    Terminal terminal;
    if (!terminal.start()) {
        state.SkipWithError("no terminal to type into (xterm)");
        return;
    }
    const int n = graphemes(text);
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        try {
            QCoro::waitFor(service.typeText(text));
        } catch (...) {
            state.SkipWithError("typing failed");
            break;
        }
        ours += timer.nsecsElapsed() / 1e9;
        state.PauseTiming();
        theirs += xdotoolSeconds(text) - xdotoolSeconds(QString());
        state.ResumeTiming();
    }
    terminal.finish();
    const double iterations = double(state.iterations());
    const double oursMs = ours / iterations / n * 1000;
    const double theirsMs = theirs / iterations / n * 1000;
    state.counters["ours_ms_per_char"] = oursMs;
    state.counters["ours_beyond_2ms"] = oursMs - 2;
    state.counters["xdotool_ms_per_char"] = theirsMs;
    state.counters["ratio"] = oursMs / theirsMs;
}

// Seconds to type `text` into a fresh terminal, by us or by xdotool, and
// whether it came out exactly.
std::pair<double, bool> typeIntoTerminal(DesktopInputService& service, const QString& text, bool ours)
{
    Terminal terminal;
    if (!terminal.start())
        return {0, false};
    QElapsedTimer timer;
    timer.start();
    bool typed = true;
    if (ours) {
        try {
            QCoro::waitFor(service.typeText(text));
        } catch (...) {
            typed = false;
        }
    } else {
        QProcess p;
        p.start(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("2"), text});
        p.waitForFinished(300000);
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    return {seconds, typed && terminal.finish() == text};
}

void BM_Input_TypingMixedTextIntoATerminal(benchmark::State& state)
{
    if (!setUp(state))
        return;
    if (QStandardPaths::findExecutable(QStringLiteral("xterm")).isEmpty()) {
        state.SkipWithError("no xterm");
        return;
    }
    DesktopInputService service;
    const QString mixed = mixedText(2000, 74);
    const QString plain = keymapText(2000);
    const double n = graphemes(mixed);
    for (auto _ : state) {
        const auto oursMixed = typeIntoTerminal(service, mixed, true);
        const auto oursPlain = typeIntoTerminal(service, plain, true);
        const auto theirsMixed = typeIntoTerminal(service, mixed, false);
        const auto theirsPlain = typeIntoTerminal(service, plain, false);
        state.counters["ours_mixed_ms_per_char"] = oursMixed.first / n * 1000;
        state.counters["ours_keymap_ms_per_char"] = oursPlain.first / graphemes(plain) * 1000;
        state.counters["ours_mixed_over_keymap"] = oursMixed.first / n / (oursPlain.first / graphemes(plain));
        state.counters["ours_mixed_exact"] = oursMixed.second;
        state.counters["ours_keymap_exact"] = oursPlain.second;
        state.counters["xdotool_mixed_ms_per_char"] = theirsMixed.first / n * 1000;
        state.counters["xdotool_keymap_ms_per_char"] = theirsPlain.first / graphemes(plain) * 1000;
        state.counters["xdotool_mixed_exact"] = theirsMixed.second;
        state.counters["xdotool_keymap_exact"] = theirsPlain.second;
    }
}

void BM_Input_ClickRoundTripToOwnTap(benchmark::State& state)
{
    if (!setUp(state))
        return;
    std::mutex mutex;
    std::condition_variable seen;
    int releases = 0;
    auto session = platform::Platform::get().eventTap().start(
        QStringLiteral("tovrik.bench-tap"), [&](const platform::RawInputEvent& e) {
            if (e.type != platform::RawInputEvent::Type::MouseUp || !e.isSynthetic)
                return;
            std::lock_guard lock(mutex);
            ++releases;
            seen.notify_all();
        });
    auto& input = platform::Platform::get().input();
    platform::x11::XcbConnection conn(nullptr);
    double click = 0;
    double roundTrip = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const int before = releases;
        input.postMouse(platform::MouseEventKind::Down, platform::MouseButton::Middle, QPointF(5, 5), 1);
        input.postMouse(platform::MouseEventKind::Up, platform::MouseButton::Middle, QPointF(5, 5), 1);
        std::unique_lock lock(mutex);
        seen.wait(lock, [&] { return releases > before; });
        click += timer.nsecsElapsed() / 1e9;
        lock.unlock();
        state.PauseTiming();
        timer.restart();
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        roundTrip += timer.nsecsElapsed() / 1e9;
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    state.counters["click_us"] = click / iterations * 1e6;
    state.counters["x_round_trip_us"] = roundTrip / iterations * 1e6;
    state.counters["ratio"] = click / roundTrip;
}

} // namespace

BENCHMARK(BM_Input_TypingOverheadAscii)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Input_TypingOverheadNonAscii)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Input_TypingMixedTextIntoATerminal)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Input_ClickRoundTripToOwnTap)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();
