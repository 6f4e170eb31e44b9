#pragma once

// The spare keycodes a process has lent a symbol for typing text, kept on
// disk while they are lent, so that a run that ends without giving them back
// (killed, crashed) does not leave the keyboard map changed for good: the
// next start on the same display reads what dead processes left and gives
// it back.
//
// One file per process and display, "lent-keycodes-<display>-<pid>", in the
// folder of the user's records (see ProcessRecords.h, which also says when a
// record is trusted). After the lines naming the process and the server, each line is
// "<keycode> <keysym>" in decimal, for a symbol Tovrik lends (one a character
// types), or "<keycode> <keysym> <shifted keysym>" for a keycode lent one
// symbol a level (the second typed with Shift); two fields stand for one
// symbol on both levels. A file whose process still runs belongs to that
// process and is never touched by another; a record with a line that does
// not read is removed unapplied. A keycode is given back only while the server maps it
// exactly as lending does (see `showsLentKeysym`): anything else was
// remapped since by someone else, or never lent; and only when the layout
// does not describe it (see `layoutKeycodes`): lending uses no other, and a
// layout key may show just what lending writes.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tovrik::platform::x11 {

struct LentKeycode {
    uint8_t keycode = 0;
    uint32_t keysym = 0;
    uint32_t shifted = 0; // 0: the keycode types `keysym` on both levels
    bool operator==(const LentKeycode&) const = default;
};

// What lending writes on a keycode: `keysym` on the first level and
// `shifted` (0: `keysym` again) on the second, nothing on the others.
std::vector<uint32_t> lentKeysyms(uint32_t keysym, uint32_t shifted, int keysymsPerKeycode);
// Whether a keycode whose levels are `levels` now is lent `keysym` (and
// `shifted`) as lending writes it. The server may repeat the written levels
// in the further groups it reports, and nothing else.
bool showsLentKeysym(const std::vector<uint32_t>& levels, uint32_t keysym, uint32_t shifted = 0);
// Whether Tovrik ever lends `keysym`: one a character types (Return, Tab,
// printable Latin-1, the Unicode range), or VoidSymbol (the key typing keeps
// back, which types nothing).
bool isLendableKeysym(uint32_t keysym);

class LentKeycodeRecord {
public:
    // `folder` empty: the folder of the user's records. `display` names the
    // X server (the DISPLAY text; a trailing screen number is ignored).
    LentKeycodeRecord(QString display, QString folder = {}, qint64 pid = 0);

    // The mark of the X server the records are made for and read on (see
    // serverMark); set before anything is written.
    void setServer(const QByteArray& mark) { m_server = mark; }
    // Writes what is lent now; nothing lent removes the file. False when it
    // cannot be written.
    bool save(const std::vector<LentKeycode>& lent) const;
    QString path() const { return m_path; }

    // What processes that no longer run left lent on this display, and the
    // files that say so (to be removed once it is given back). Records that
    // are not to be trusted are removed on the way, one log line each.
    struct Leftovers {
        std::vector<LentKeycode> keycodes;
        QStringList files;
    };
    Leftovers leftovers() const;
    static void forget(const QStringList& files);

    static QString defaultFolder();
    static QString displayKey(const QString& display);
    // The entries of the lines that read (others are skipped).
    static std::vector<LentKeycode> parse(const QByteArray& text);
    // One line; nothing when it does not read as an entry.
    static std::optional<LentKeycode> parseLine(const QByteArray& line);

private:
    QString m_folder;
    QString m_prefix;
    QString m_path;
    QByteArray m_server;
};

} // namespace tovrik::platform::x11
