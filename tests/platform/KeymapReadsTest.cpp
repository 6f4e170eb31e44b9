// Counting which clients read the keyboard map after our changes, from the
// requests RECORD reports.

#include "platform/x11/KeymapReads.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace tovrik::platform::x11
