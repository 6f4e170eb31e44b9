#pragma once

#include <QByteArray>
#include <QString>

namespace tovrik::test {

// What the stand-in answers "/tts" with: the MP3 file at `path` when given,
// else a short two-note chime encoded by lame, so that samples and answers
// are heard. Empty with `error` set when neither can be had.
QByteArray standInSpeechAudio(const QString& path, QString* error);

} // namespace tovrik::test
