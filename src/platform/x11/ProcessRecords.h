#pragma once

// Small files a running Tovrik keeps about what it holds of the X server
// (keycodes lent a symbol, keys and buttons held down), so that the next
// start on the same display can give back what a run that ended without
// cleaning up (killed, crashed) left behind.
//
// A record is trusted only where nobody else can have written it:
// - its folder is "Tovrik" in $XDG_RUNTIME_DIR when that folder is the
//   user's own with mode 0700, else "Tovrik/records" in ~/.local/state
//   (never a shared temporary folder); the folder itself is the user's, 0700,
//   not a link;
// - the file is a regular file of the user's, writable by nobody else.
// The first line names the process that wrote it: "process <start> <boot>",
// its start time (/proc/<pid>/stat, clock ticks after boot) and the boot's
// id, so that a process id the system handed out again does not pass for
// the writer. A file that breaks any of this is removed with one log line
// and never applied.
//
// The second line, "server <mark>", names the X server the record was made
// for (see serverMark): a display number outlives its server (a new login, a
// new test server), and what the record says is true only of the server it
// was made for. A record made for another server is removed unapplied; one
// without the line (as earlier versions wrote them) is read as before.

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <xcb/xcb.h>
#include <vector>

namespace tovrik::platform::x11 {

// Who wrote a record: a process's start time and the boot it ran in.
struct ProcessStamp {
    quint64 startTime = 0;
    QByteArray bootId;
    bool operator==(const ProcessStamp&) const = default;
};

// This process's stamp, or that of `pid` while it runs (nothing otherwise).
ProcessStamp currentProcessStamp();
std::optional<ProcessStamp> processStamp(qint64 pid);
// Whether the process `pid` that wrote `stamp` still runs.
bool processStillRuns(qint64 pid, const ProcessStamp& stamp);

QByteArray stampLine(const ProcessStamp& stamp);
std::optional<ProcessStamp> parseStampLine(const QByteArray& line);

// The folder records go in (see above); created when `create` is set.
// Empty when no folder of the user's own can be had.
QString recordFolder(bool create);
// Whether `path` is a folder of this user's (not a link) with mode 0700.
bool isPrivateFolder(const QString& path);

// This X server's mark: a random text on its root window
// (_TOVRIK_SERVER_MARK), put there by the first process that asks and gone
// with the server (or its reset, which also resets the keyboard map). Empty
// when it cannot be read.
QByteArray serverMark(xcb_connection_t* conn);
QByteArray serverLine(const QByteArray& mark);

// A record a process that no longer runs left: its file, the process id
// from its name and the lines after the stamp (and after the server line).
struct LeftRecord {
    QString path;
    qint64 pid = 0;
    QList<QByteArray> lines;
};
// The records "<prefix><pid>" in `folder` whose writer is gone, made for the
// server of mark `server`. Records of processes that run are left alone, and
// so are records that name a server while `server` is empty (unknown);
// files that cannot be trusted, or were made for another server, are
// removed, one log line each.
std::vector<LeftRecord> leftRecords(const QString& folder, const QString& prefix, const QByteArray& server = {});
// Removes a record that is not to be applied, with one log line.
void dropRecord(const QString& path, const QString& why);

} // namespace tovrik::platform::x11
