#pragma once

// Files that hold the user's data (recordings, the settings file) are private
// from the first moment they exist: created with mode 0600 by open() itself
// (never a wider mode narrowed afterwards, which leaves a window in which
// another local user can open the file and keep reading it), exclusively
// (never through an existing name) and without following a link; their
// folders are 0700.

#include <QByteArray>
#include <QString>

namespace tovrik {

// Creates `path` (parents as needed) and makes the folder itself 0700. False
// with `error` set when that fails, or when the folder belongs to another
// user.
bool makePrivateDirectory(const QString& path, QString* error);

// Creates a new file 0600, exclusively, not through a link; returns its
// descriptor (close-on-exec), or -1 with `error` set.
int createPrivateFile(const QString& path, QString* error);

// Replaces `path` with `bytes` atomically: a new private temporary file beside
// it, every write and the flush to disk checked, then renamed over `path`.
// On any failure (a full disk among them) the old file is left exactly as it
// was, the temporary file is removed, and `error` says why.
bool writePrivateFileAtomically(const QString& path, const QByteArray& bytes, QString* error);

} // namespace tovrik
