#pragma once

// The event-stream parser of the chat reply, written to the WHATWG rules:
//  - a line ends with CRLF, LF or a lone CR; a CR at the end of a chunk waits
//    for the next byte (an LF right after it belongs to the same line end);
//  - lines are split on bytes, before any UTF-8 decoding, so a multi-byte
//    character split across chunks arrives whole;
//  - a line beginning with ':' is a comment; "field: value" loses exactly one
//    leading space of the value; a line without ':' is a field with an empty
//    value; fields other than event, data, id and retry are ignored (an id
//    containing NUL is ignored too);
//  - data lines are joined with LF; an empty line dispatches the event, unless
//    its data buffer is empty (then nothing fires and the type resets);
//  - a leading UTF-8 byte-order mark is skipped.
// The stream's text is UTF-8 decoded with replacement (validUTF8 below);
// since every byte that ends a line is ASCII, decoding each event's fields
// gives the same text as decoding the whole stream first.
// finish() is the end of the stream: an event that was not terminated by an
// empty line is discarded, as the standard says.
//
// Plain C++ over bytes, so the fuzzer can drive it without Qt.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tovrik {

struct ServerSentEvent {
    std::string type = "message"; // the "event" field, "message" when absent
    std::string data;             // data lines joined with LF
    std::string lastEventId;
};

// `bytes` as UTF-8 decoded with replacement and encoded again: each maximal
// invalid subsequence becomes one U+FFFD (the WHATWG decoder's rule), the
// rest is kept byte for byte.
std::string validUTF8(std::string_view bytes);

class ServerSentEventParser {
public:
    using Handler = std::function<void(const ServerSentEvent&)>;
    // Each field line (and its data buffer) is capped: a line longer than
    // maxLineBytes, or data longer than maxDataBytes, makes the parser fail.
    explicit ServerSentEventParser(Handler onEvent, std::size_t maxLineBytes = 1 << 20,
                                   std::size_t maxDataBytes = 4 << 20);

    // Feeds the next bytes. Returns false once the parser failed (a cap was
    // exceeded); it then ignores further input.
    bool feed(std::string_view bytes);
    // The stream ended. Returns true when a partial event (lines seen but no
    // terminating empty line) was discarded.
    bool finish();

    bool failed() const { return m_failed; }
    std::size_t dispatchedCount() const { return m_dispatched; }

private:
    void processLine(std::string_view line);
    void dispatch();

    Handler m_onEvent;
    std::size_t m_maxLine;
    std::size_t m_maxData;
    std::string m_line;
    bool m_pendingCR = false;
    bool m_bomChecked = false;
    std::string m_bomBuffer;
    std::string m_type;
    std::string m_data;
    bool m_hasData = false;
    bool m_sawFieldSinceDispatch = false;
    std::string m_lastEventId;
    bool m_failed = false;
    std::size_t m_dispatched = 0;
};

} // namespace tovrik
