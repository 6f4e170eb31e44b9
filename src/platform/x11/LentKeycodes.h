#pragma once

// The spare keycodes a process has lent a symbol for typing text, kept on
// disk while they are lent, so that a run that ends without giving them back
// (killed, crashed) does not leave the keyboard map changed for good: the
// next start on the same display reads what dead processes left and gives
// it back.
//
// One file per process and display, "lent-keycodes-<display>-<pid>", in the
// private runtime folder ("Tovrik" in $XDG_RUNTIME_DIR, or the private folder
// Qt makes in its place). Each line is "<keycode> <keysym>" in decimal. A file
// whose process still runs belongs to that process and is never touched by
// another; lines that do not read are skipped.
//
// A keycode may be lent two symbols, one a level (the second typed with
// Shift): its line then reads "<keycode> <keysym> <shifted keysym>". A line
// of two fields stands for a keycode lent one symbol on both levels.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <vector>

namespace tovrik::platform::x11 {

struct LentKeycode {
    uint8_t keycode = 0;
    uint32_t keysym = 0;
    uint32_t shifted = 0; // 0: the keycode types `keysym` on both levels
    bool operator==(const LentKeycode&) const = default;
};

class LentKeycodeRecord {
public:
    // `folder` empty: the runtime folder. `display` names the X server (the
    // DISPLAY text; a trailing screen number is ignored).
    LentKeycodeRecord(QString display, QString folder = {}, qint64 pid = 0);

    // Writes what is lent now; nothing lent removes the file. False when it
    // cannot be written.
    bool save(const std::vector<LentKeycode>& lent) const;
    QString path() const { return m_path; }

    // What processes that no longer run left lent on this display, and the
    // files that say so (to be removed once it is given back).
    struct Leftovers {
        std::vector<LentKeycode> keycodes;
        QStringList files;
    };
    Leftovers leftovers() const;
    static void forget(const QStringList& files);

    static QString defaultFolder();
    static QString displayKey(const QString& display);
    static std::vector<LentKeycode> parse(const QByteArray& text);

private:
    QString m_folder;
    QString m_prefix;
    QString m_path;
};

} // namespace tovrik::platform::x11
