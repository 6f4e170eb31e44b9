#pragma once

// Telling our own XTest input from everybody else's.
//
// XTest events carry no marker, and every XTest client on a master shares
// that master's XTEST slave: an on-screen keyboard, a remote-desktop client
// or xdotool look exactly like us. So this process keeps a ledger: just
// before it posts a key or button through XTest, it records the event as
// pending. A raw event from an XTEST slave of our posting masters is ours
// when it consumes a matching pending entry; with none it is somebody
// else's. Entries expire after a second (the server handles a checked
// request long before that). Every tap consumes on its own (each tap sees
// every event), so a tap keeps a cursor: entries up to it are spent for it.
//
// PhysicalKeys is the key state built from the raw events that are not
// ours, per source device, so a chord held on another master counts as held
// while our own held keys never do. It is kept up to date while at least
// one tap runs.

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace tovrik::platform::x11 {

class SyntheticLedger {
public:
    // The kinds are the X core event types (key press 2 ... button release 5).
    static SyntheticLedger& instance();
    static constexpr double kLifetimeSeconds = 1.0;

    void record(uint8_t type, uint8_t detail);
    // The newest entry; a new tap starts its cursor here.
    uint64_t latest() const;
    // Consumes the oldest live entry after `cursor` that matches; true when
    // there was one (the event is ours).
    bool consume(uint64_t& cursor, uint8_t type, uint8_t detail);
    size_t pendingCount() const;

private:
    struct Entry {
        uint64_t seq;
        uint8_t type;
        uint8_t detail;
        double at;
    };
    void expire(double now);
    mutable std::mutex m_mutex;
    std::deque<Entry> m_entries;
    uint64_t m_nextSeq = 1;
};

class PhysicalKeys {
public:
    // Called when a tap starts; the first tap seeds the state with `seed`
    // (keycodes down on the core keyboard that are not ours).
    void tapStarted(const std::array<bool, 256>& seed);
    void tapStopped();
    void press(uint16_t source, uint8_t keycode);
    void release(uint16_t source, uint8_t keycode);
    // The keycodes held by devices that are not ours; nothing while no tap
    // runs.
    std::optional<std::array<bool, 256>> snapshot() const;

private:
    mutable std::mutex m_mutex;
    int m_taps = 0;
    std::set<std::pair<uint16_t, uint8_t>> m_down; // (source device, keycode); source 0 = seeded
};

} // namespace tovrik::platform::x11
