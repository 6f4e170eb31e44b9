#pragma once

// The keys and buttons a process holds down through synthetic input, kept
// on disk while it runs, so that the next start on the same display lets go
// of what a run that was killed or crashed left down (a held letter would
// otherwise repeat into the focused window, a held Ctrl turn every later
// key press into a shortcut).
//
// One file per process and display, "held-input-<display>-<pid>", beside the
// lent keycodes and trusted by the same rules (ProcessRecords.h). After the
// lines naming the process and the server it holds "keys <64 hex digits>" and "buttons <64
// hex digits>": bit n of byte n / 8 is keycode (or button) n, as the server's
// own key map is laid out. The file keeps one length and is rewritten in
// place with one write, so a process killed at any moment leaves either the
// old or the new state.

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace tovrik::platform::x11 {

class HeldInputRecord {
public:
    using Bits = std::array<uint8_t, 32>;

    // `folder` empty: the folder of the user's records. `display` as for
    // the lent keycodes.
    explicit HeldInputRecord(const QString& display, QString folder = {}, qint64 pid = 0);
    // Removes the file (what it said is let go by then).
    ~HeldInputRecord();
    HeldInputRecord(const HeldInputRecord&) = delete;
    HeldInputRecord& operator=(const HeldInputRecord&) = delete;

    // The mark of the X server (see serverMark); set before the first key
    // or button.
    void setServer(const QByteArray& mark) { m_server = mark; }
    // Record a key or button as held (before it is pressed) or let go
    // (after); the file is written only when that changes what it says.
    void setKey(uint8_t keycode, bool down) { set(m_keys, keycode, down); }
    void setButton(uint8_t button, bool down) { set(m_buttons, button, down); }
    QString path() const { return m_path; }

    // What processes that no longer run held on this display, and their
    // files (to be removed once it is let go). Untrusted records are removed
    // on the way, one log line each.
    struct Leftovers {
        Bits keys{};
        Bits buttons{};
        QStringList files;
    };
    Leftovers leftovers() const;
    static void forget(const QStringList& files);

    static bool isSet(const Bits& bits, unsigned n) { return n < 256 && (bits[n / 8] & (1u << (n % 8))); }

private:
    void set(Bits& bits, uint8_t n, bool down);
    void write();

    QString m_folder;
    QString m_prefix;
    QString m_path;
    QByteArray m_server;
    int m_fd = -1;
    bool m_failed = false;
    Bits m_keys{};
    Bits m_buttons{};
};

} // namespace tovrik::platform::x11
