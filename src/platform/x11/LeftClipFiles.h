#pragma once

// Speech clips that runs which ended without cleaning up (killed, crashed)
// left in the user's runtime folder: "tovrik-speech-XXXXXX.mp3" (or ".wav"),
// six letters or digits, as earlier versions wrote them for the media
// backend to read.

#include <QString>

namespace tovrik::platform::x11 {

// Removes from `folder` the clip files a dead run left: regular files of
// this user's (not links), named exactly in the shape above, that no process
// holds open (a live run keeps its clip open while it plays). Nothing is
// removed unless `folder` is this user's own, mode 0700. Returns how many
// went, with one log line when any did.
int removeLeftClipFiles(const QString& folder);

// The folder the clips were written to: the runtime folder.
QString clipFolder();

} // namespace tovrik::platform::x11
