#pragma once

#include <QByteArray>

namespace tovrik {

// The playing time of an MPEG audio clip (Layers I–III, MPEG-1, 2 and 2.5),
// in seconds, from its frame headers (an ID3v2 tag at the start skipped).
// Where the frames stop making sense, the rest counts as 8 kbit/s, the
// lowest rate a frame can have, so the result never falls short of what a
// decoder can make of it.
double mpegDurationSeconds(const QByteArray& clip);

} // namespace tovrik
