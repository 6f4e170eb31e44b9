#include "hosted/ServerSentEventParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tovrik;

namespace {

struct Collected {
    std::vector<ServerSentEvent> events;
    bool partial = false;
    bool ok = true;
};

// Feeds `stream` in pieces of `step` bytes (0: all at once).
Collected parse(const std::string& stream, size_t step = 0)
{
    Collected c;
    ServerSentEventParser parser([&c](const ServerSentEvent& e) { c.events.push_back(e); });
    if (step == 0) {
        c.ok = parser.feed(stream);
    } else {
        for (size_t i = 0; i < stream.size() && c.ok; i += step)
            c.ok = parser.feed(std::string_view(stream).substr(i, step));
    }
    c.partial = parser.finish();
    return c;
}

// Each event as "type:data".
std::vector<std::string> typed(const Collected& c)
{
    std::vector<std::string> out;
    for (const auto& e : c.events)
        out.push_back(e.type + ":" + e.data);
    return out;
}

} // namespace

// Split at every byte too: a multi-byte character cut across chunks arrives whole.
TEST(ServerSentEventParser, LineEndsCommentsFieldsAndSpacesGiveTheSameEventsWhenSplitAtEveryByte)
{
    const std::string stream = "\xEF\xBB\xBF: hello\r\nevent: delta\r\ndata: {\"text\":\"H\xC3\xA9\"}\r\n\r\n"
                               "event: delta\ndata: {\"text\":\"llo\"}\n\n"
                               "event: delta\rdata: a\rdata: b\r\r"
                               "event: done\r\ndata: {}\r\n\r\n";
    const std::vector<std::string> whole = typed(parse(stream));
    EXPECT_EQ(whole, (std::vector<std::string>{"delta:{\"text\":\"H\xC3\xA9\"}", "delta:{\"text\":\"llo\"}", "delta:a\nb",
                                               "done:{}"}));
    for (size_t step = 1; step <= 7; ++step)
        EXPECT_EQ(typed(parse(stream, step)), whole) << "step " << step;
    // CR LF is one line end, not two: no empty line in between.
    EXPECT_EQ(typed(parse("data: a\r\ndata: b\r\n\r\n")), std::vector<std::string>{"message:a\nb"});
    // A CR ending one chunk and an LF starting the next are one line end.
    {
        std::vector<std::string> got;
        ServerSentEventParser p([&](const ServerSentEvent& e) { got.push_back(e.data); });
        p.feed("data: a\r");
        p.feed("\ndata: b\r");
        p.feed("\n\r");
        p.feed("\n");
        EXPECT_EQ(got, std::vector<std::string>{"a\nb"});
    }
    const Collected c = parse(": comment\n:\nevent:delta\ndata:  two spaces\nid: 7\nretry: 10\nfoo: bar\ndata\n\n");
    // One leading space is stripped, not two; "data" without a colon is an
    // empty data line.
    EXPECT_EQ(typed(c), std::vector<std::string>{"delta: two spaces\n"});
    EXPECT_EQ(c.events[0].lastEventId, "7");
    // "data:x" without a space keeps every byte.
    EXPECT_EQ(typed(parse("data:x y\n\n")), std::vector<std::string>{"message:x y"});
}

TEST(ServerSentEventParser, OnlyTerminatedEventsWithDataFireAndInvalidUTF8BecomesOneReplacementPerMaximalSubpart)
{
    // An event without data does not fire and its type does not leak.
    const Collected c = parse("event: delta\n\nid: 3\n\ndata: later\n\n");
    EXPECT_EQ(typed(c), std::vector<std::string>{"message:later"});
    EXPECT_FALSE(c.partial);
    // An event the stream's end cut off is discarded and reported.
    for (const char* cut : {"data: one\n\ndata: two\n", "data: one\n\ndata: tw"}) {
        const Collected partial = parse(cut);
        EXPECT_EQ(typed(partial), std::vector<std::string>{"message:one"}) << cut;
        EXPECT_TRUE(partial.partial) << cut;
    }
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\x80z", "a" + fffd + "z"},
        {"\xF0\x9F\x98" "A", fffd + "A"},               // cut short: one
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},         // whole: kept
        {"\xED\xA0\x80", fffd + fffd + fffd},            // a surrogate
        {"\xE0\x80\xAF", fffd + fffd + fffd},            // overlong
        {"\xC0\xAF\xFF", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
        {"\xE2\x82", fffd},                              // at the end
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(validUTF8(in), out);
}

TEST(ServerSentEventParser, CapsLinesAndDataAndTakesAByteOrderMarkOnlyAtTheStart)
{
    std::vector<std::string> got;
    ServerSentEventParser p([&](const ServerSentEvent& e) { got.push_back(e.data); }, 16, 32);
    EXPECT_TRUE(p.feed("data: 0123456789"));
    EXPECT_FALSE(p.feed("abcdef\n"));
    EXPECT_TRUE(p.failed());
    EXPECT_FALSE(p.feed("\n"));
    EXPECT_TRUE(got.empty());

    ServerSentEventParser q([&](const ServerSentEvent& e) { got.push_back(e.data); }, 64, 11);
    EXPECT_TRUE(q.feed("data: 12345\n"));
    EXPECT_FALSE(q.feed("data: 67890\n"));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(typed(parse("\xEF\xBB\xBF" "data: a\n\n", 1)), std::vector<std::string>{"message:a"});
    // A partial BOM prefix that turns out to be something else is kept.
    EXPECT_TRUE(parse("\xEF" "data: a\n\n").events.empty()); // "\xEFdata" is an unknown field
    EXPECT_EQ(typed(parse("data: \xEF\xBB\xBF" "a\n\n")), std::vector<std::string>{"message:\xEF\xBB\xBF" "a"});
}
