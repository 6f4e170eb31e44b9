#pragma once

// Which clients have read the keyboard map since we last changed it, as the
// X server tells it.
//
// A client reads the keyboard map when it handles the change notification
// (programs built on xkbcommon) or when it next translates a key after one
// (Xlib and the toolkits on it): keys translated before the read use the map
// of before the change. So a spare keycode lent a symbol may be given
// another only once the program that receives the keys has read the map of
// the first, and a key typed with it is right only once that program has read
// the map that lends it.
//
// The RECORD extension reports the requests that change and read the map, in
// the order the server handles them: the core ChangeKeyboardMapping and
// GetKeyboardMapping and the XKB SetMap and GetMap. Each record names its
// client by its resource-id base, which is also the base of every window the
// client creates, so the focus window names the client that reads the keys.
// Our own changes are counted in the same stream: a read counts for the
// latest change it follows.
//
// A program that uses an input method server (XIM) sends it its keys
// (SendEvent requests to the server's windows) and translates them when they
// come back, at a time no request tells: those requests are recorded too, so
// that typing into such a program can be refused, and so are the answers to
// pings (client messages sent back to the root window).
//
// Two connections of their own (RECORD needs one that does nothing but
// receive its data). Reads are drained when asked, on the calling thread.

#include "platform/x11/Xcb.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace tovrik::platform::x11 {

class KeymapReads {
public:
    // Null where the server has no RECORD extension. `ownIdBase` is the
    // resource-id base of the connection whose changes count.
    static std::unique_ptr<KeymapReads> start(uint32_t ownIdBase, uint32_t idMask);
    ~KeymapReads();

    // Changes of the keyboard map by our connection seen so far.
    uint64_t changesSeen() const { return m_changesSeen; }
    // Whether the client with `idBase` has read the map after our `changes`-th
    // change (counting from 1), from what has arrived so far.
    bool hasRead(uint32_t idBase, uint64_t changes) const;
    // Whether client `from` has sent an event to a window of client `to`.
    bool hasSentTo(uint32_t from, uint32_t to) const;
    // Whether client `idBase` has answered the ping (a _NET_WM_PING client
    // message, `pingAtom`) that carried `stamp`: it answers when it handles
    // the ping, so it has handled every event queued for it before.
    bool hasAnsweredPing(uint32_t idBase, uint32_t stamp) const { return m_pingAnswers.count({idBase, stamp}) > 0; }
    void setPingAtom(uint32_t atom) { m_pingAtom = atom; }
    // Waits until it has, at most until `deadline`; false on the deadline
    // or a broken connection.
    bool waitForRead(uint32_t idBase, uint64_t changes, std::chrono::steady_clock::time_point deadline);
    // Handles what has arrived, without waiting.
    void drain();
    // Waits until more arrives or `until`, then handles it; false on a
    // broken connection.
    bool waitForMore(std::chrono::steady_clock::time_point until);

    // The requests in one recorded block (a client's requests, in its byte
    // order), fed to the counts; public for tests.
    void takeRequests(uint32_t idBase, const uint8_t* data, size_t length, bool swapped);

private:
    KeymapReads() = default;

    XcbConnection m_control;
    XcbConnection m_data;
    uint32_t m_context = 0;
    unsigned int m_sequence = 0;
    uint32_t m_ownIdBase = 0;
    uint32_t m_idMask = 0x1fffff;
    std::set<std::pair<uint32_t, uint32_t>> m_sends; // (from, to) client id bases
    uint32_t m_pingAtom = 0;
    std::set<std::pair<uint32_t, uint32_t>> m_pingAnswers; // (client id base, stamp)
    uint8_t m_xkbOpcode = 0;
    uint64_t m_changesSeen = 0;
    std::map<uint32_t, uint64_t> m_readAfter; // client id base -> changes seen at its last read
    bool m_broken = false;

public:
    // A watcher without a server, fed by takeRequests (tests of the counting).
    static std::unique_ptr<KeymapReads> forCounting(uint32_t ownIdBase, uint8_t xkbOpcode, uint32_t idMask = 0x1fffff);
};

} // namespace tovrik::platform::x11
