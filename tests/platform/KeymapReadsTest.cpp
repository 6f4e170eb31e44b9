// Counting which clients read the keyboard map after our changes, from the
// requests RECORD reports; and whether a program that takes no pings waits
// for input, from /proc.

#include "platform/x11/KeymapReads.h"
#include "platform/x11/ProcessActivity.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tovrik::platform::x11 {
namespace {

constexpr uint32_t kOurs = 0x400000;
constexpr uint32_t kEditor = 0x600000;
constexpr uint8_t kXkb = 135;

// A request of `words` 4-byte units with its opcodes, in little-endian order
// or (swapped) in big-endian order; words 0 writes the BIG-REQUESTS form.
std::vector<uint8_t> request(uint8_t major, uint8_t minor, uint32_t words, bool swapped = false)
{
    const bool big = words > 0xffff;
    std::vector<uint8_t> r(size_t(words) * 4, 0);
    r[0] = major;
    r[1] = minor;
    auto put16 = [&](size_t at, uint16_t v) {
        r[at + (swapped ? 1 : 0)] = uint8_t(v);
        r[at + (swapped ? 0 : 1)] = uint8_t(v >> 8);
    };
    if (!big) {
        put16(2, uint16_t(words));
    } else {
        put16(2, 0);
        for (int i = 0; i < 4; ++i)
            r[4 + size_t(swapped ? 3 - i : i)] = uint8_t(words >> (8 * i));
    }
    return r;
}

void feed(KeymapReads& reads, uint32_t client, const std::vector<std::vector<uint8_t>>& requests, bool swapped = false)
{
    std::vector<uint8_t> block;
    for (const auto& r : requests)
        block.insert(block.end(), r.begin(), r.end());
    reads.takeRequests(client, block.data(), block.size(), swapped);
}

TEST(KeymapReads, AReadCountsForTheLatestOfOurChangesThatCameBeforeIt)
{
    auto reads = KeymapReads::forCounting(kOurs, kXkb);
    feed(*reads, kOurs, {request(kXkb, 9, 12)}); // our XKB SetMap
    EXPECT_EQ(reads->changesSeen(), 1u);
    EXPECT_FALSE(reads->hasRead(kEditor, 1));
    // Several requests in one block, the core read among them.
    feed(*reads, kEditor, {request(kXkb, 17, 3), request(101, 0, 2)});
    EXPECT_TRUE(reads->hasRead(kEditor, 1));

    // Our core change, then the editor's XKB GetMap, big-endian.
    feed(*reads, kOurs, {request(100, 1, 9)});
    EXPECT_FALSE(reads->hasRead(kEditor, 2));
    feed(*reads, kEditor, {request(kXkb, 8, 7, true)}, true);
    EXPECT_TRUE(reads->hasRead(kEditor, 2));

    // Another client's change is not ours; our own reads are not the
    // editor's; a BIG-REQUESTS request is stepped over whole.
    feed(*reads, kEditor, {request(kXkb, 9, 70000), request(kXkb, 8, 7)});
    EXPECT_EQ(reads->changesSeen(), 2u);
    feed(*reads, kOurs, {request(kXkb, 9, 12), request(101, 0, 2)});
    EXPECT_EQ(reads->changesSeen(), 3u);
    EXPECT_FALSE(reads->hasRead(kEditor, 3));
    // A block cut short stops the counting instead of reading past it.
    const auto cut = request(kXkb, 8, 7);
    reads->takeRequests(kEditor, cut.data(), 4, false);
    reads->takeRequests(kEditor, nullptr, 0, false);
    EXPECT_TRUE(reads->hasRead(kEditor, 3)) << "the opcode arrived, the read was made";
}

TEST(KeymapReads, AnEventSentToAnotherClientsWindowNamesThatClient)
{
    constexpr uint32_t kInputMethod = 0xa00000;
    auto reads = KeymapReads::forCounting(kOurs, kXkb);
    auto sendEvent = request(25, 0, 11, true);
    const uint32_t window = kInputMethod + 0x2a; // big-endian, as the client sent it
    for (int i = 0; i < 4; ++i)
        sendEvent[4 + size_t(i)] = uint8_t(window >> (24 - 8 * i));
    feed(*reads, kEditor, {sendEvent}, true);
    EXPECT_TRUE(reads->hasSentTo(kEditor, kInputMethod));
    EXPECT_FALSE(reads->hasSentTo(kInputMethod, kEditor));

    // A ping answer: a 32-bit client message whose first item is the ping
    // atom and whose second is the stamp; our own ping is not an answer.
    constexpr uint32_t kPing = 0x123;
    reads->setPingAtom(kPing);
    auto answer = [](uint32_t atom, uint32_t stamp) {
        auto r = request(25, 0, 11);
        r[12] = 33;
        r[13] = 32;
        for (int i = 0; i < 4; ++i) {
            r[24 + size_t(i)] = uint8_t(atom >> (8 * i));
            r[28 + size_t(i)] = uint8_t(stamp >> (8 * i));
        }
        return r;
    };
    feed(*reads, kOurs, {answer(kPing, 7)});
    feed(*reads, kEditor, {answer(kPing + 1, 8), answer(kPing, 9)});
    EXPECT_FALSE(reads->hasAnsweredPing(kOurs, 7));
    EXPECT_FALSE(reads->hasAnsweredPing(kEditor, 8));
    EXPECT_TRUE(reads->hasAnsweredPing(kEditor, 9));
    EXPECT_FALSE(reads->hasAnsweredPing(kInputMethod, 9));
}

struct Thread {
    const char* stat;      // what follows the pid
    const char* wchan;
    const char* schedstat;
};

struct ProcessRow {
    const char* what;
    std::vector<Thread> threads;
    bool readable;
    bool waiting;
    uint64_t cpuTime;
};

TEST(ProcessActivity, AProgramWaitsForInputOnlyWhenEveryThreadSleepsInAWaitForIt)
{
    const ProcessRow rows[] = {
        {"xterm in poll", {{"(xterm) S 1", "poll_schedule_timeout.constprop.0", "500 7 9"}}, true, true, 500},
        {"Tk: futex and notifier", {{"(wish) S 1", "futex_do_wait", "30 1 1"}, {"(wish) S 1", "do_select", "12 1 1"}}, true, true, 42},
        {"a name with ') R ('", {{"(a) R (b) S 1", "ep_poll", "1 1 1"}}, true, true, 1},
        {"stopped", {{"(xterm) T 1", "do_signal_stop", "5 1 1"}}, true, false, 5},
        {"running", {{"(xterm) R 1", "0", "5 1 1"}}, true, false, 5},
        {"asleep in a sleep", {{"(lag) S 1", "hrtimer_nanosleep", "5 1 1"}}, true, false, 5},
        {"one thread on the disk", {{"(tk) S 1", "do_sys_poll", "5 1 1"}, {"(tk) D 1", "io_schedule", "6 1 1"}}, true, false, 11},
        {"wchan hidden", {{"(xterm) S 1", "0", "5 1 1"}}, true, true, 5},
        {"no schedstat", {{"(xterm) S 1", "do_sys_poll", ""}}, false, false, 0},
    };
    for (const ProcessRow& row : rows) {
        QTemporaryDir proc;
        int tid = 100;
        for (const Thread& t : row.threads) {
            const QString dir = proc.filePath(QStringLiteral("7/task/%1").arg(tid));
            ASSERT_TRUE(QDir().mkpath(dir));
            auto write = [&](const char* name, QByteArray content) {
                QFile f(dir + QLatin1Char('/') + QLatin1String(name));
                ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                f.write(content);
            };
            write("stat", QByteArray::number(tid++) + ' ' + t.stat + '\n');
            write("wchan", t.wchan);
            if (*t.schedstat)
                write("schedstat", QByteArray(t.schedstat) + '\n');
        }
        const auto look = lookAtThreads(7, proc.path());
        ASSERT_EQ(look.has_value(), row.readable) << row.what;
        if (look) {
            EXPECT_EQ(std::all_of(look->begin(), look->end(), [](const ThreadLook& t) { return t.inputWait; }), row.waiting)
                << row.what;
            uint64_t cpu = 0;
            for (const ThreadLook& t : *look)
                cpu += t.runTime;
            EXPECT_EQ(cpu, row.cpuTime) << row.what;
        }
    }
    EXPECT_FALSE(lookAtThreads(8, QStringLiteral("/nonexistent")));
}

TEST(ProcessActivity, KeysCountAsHandledOnlyWithNothingUnreadAndEveryThreadThatRanBackInItsWait)
{
    using std::chrono::milliseconds;
    using Verdict = HandledWatch::Verdict;
    const auto t0 = std::chrono::steady_clock::time_point{};
    // The reader (1), a worker asleep in a sleep (2), one blocked on a pipe (3).
    auto threads = [](ThreadLook reader, ThreadLook worker) {
        return ThreadsLook{reader, worker, {3, 'S', false, 7, 1}};
    };
    const ThreadLook polling{1, 'S', true, 100, 10}, asleep{2, 'S', false, 50, 5};
    HandledWatch watch;
    watch.nudged(threads(polling, asleep));
    EXPECT_EQ(watch.add(32, threads(polling, asleep), t0), Verdict::Waiting); // the nudge not read yet
    EXPECT_EQ(watch.add(0, std::nullopt, t0), Verdict::Waiting);
    // The reader read it and sleeps elsewhere: in the middle of a key, maybe.
    EXPECT_EQ(watch.add(0, threads({1, 'S', false, 120, 11}, asleep), t0), Verdict::Again);
    // Back in its wait; the worker did not run: it must hold for 25 ms,
    // the reader may wake (a timer) as long as each look finds it waiting.
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 140, 13}, asleep), t0), Verdict::Waiting);
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 150, 14}, asleep), t0 + milliseconds(10)), Verdict::Waiting);
    // Running, or an answer unread: the 25 ms start over.
    EXPECT_EQ(watch.add(0, threads({1, 'R', true, 150, 14}, asleep), t0 + milliseconds(20)), Verdict::Waiting);
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 160, 15}, asleep), t0 + milliseconds(30)), Verdict::Waiting);
    EXPECT_EQ(watch.add(32, threads({1, 'S', true, 160, 15}, asleep), t0 + milliseconds(40)), Verdict::Waiting);
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 170, 16}, asleep), t0 + milliseconds(50)), Verdict::Waiting);
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 180, 17}, asleep), t0 + milliseconds(74)), Verdict::Waiting);
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 190, 18}, asleep), t0 + milliseconds(75)), Verdict::Handled);
    // The worker ran since the nudge and sleeps: no matter while the reader
    // that read the nudge waits; alone, it may be the reader: nudge again.
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 190, 18}, {2, 'S', false, 60, 6}), t0 + milliseconds(80)),
              Verdict::Handled);
    watch.nudged(threads({1, 'S', true, 190, 18}, {2, 'S', false, 60, 6}));
    EXPECT_EQ(watch.add(0, threads({1, 'S', true, 190, 18}, {2, 'S', false, 70, 7}), t0 + milliseconds(90)),
              Verdict::Again);
}

} // namespace
} // namespace tovrik::platform::x11
