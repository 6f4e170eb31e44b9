#include "SpeechAudio.h"

#include <QFile>
#include <QProcess>
#include <QtEndian>

#include <cmath>
#include <cstdint>

namespace tovrik::test {

namespace {

// 0.5 s at 660 Hz, then 0.7 s at 880 Hz, 44.1 kHz mono 16-bit, each note
// fading in and out over 10 ms so that nothing clicks.
QByteArray chimePcm()
{
    const int rate = 44100;
    QByteArray pcm;
    for (const auto& [hz, seconds] : {std::pair{660, 0.5}, std::pair{880, 0.7}}) {
        const int count = int(rate * seconds);
        const int fade = rate / 100;
        for (int i = 0; i < count; ++i) {
            const double envelope = std::min({1.0, double(i) / fade, double(count - 1 - i) / fade});
            const auto sample = int16_t(std::lround(12000 * envelope * std::sin(2 * M_PI * hz * i / rate)));
            char bytes[2];
            qToLittleEndian(sample, bytes);
            pcm.append(bytes, 2);
        }
    }
    return pcm;
}

} // namespace

QByteArray standInSpeechAudio(const QString& path, QString* error)
{
    if (!path.isEmpty()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1").arg(path);
            return {};
        }
        return file.readAll();
    }
    QProcess lame;
    lame.start(QStringLiteral("lame"), {QStringLiteral("-r"), QStringLiteral("-s"), QStringLiteral("44.1"),
                                        QStringLiteral("--bitwidth"), QStringLiteral("16"), QStringLiteral("--signed"),
                                        QStringLiteral("--little-endian"), QStringLiteral("-m"), QStringLiteral("m"),
                                        QStringLiteral("--quiet"), QStringLiteral("-"), QStringLiteral("-")});
    if (!lame.waitForStarted()) {
        *error = QStringLiteral("lame is not installed (scripts/setup-deps.sh installs it)");
        return {};
    }
    lame.write(chimePcm());
    lame.closeWriteChannel();
    if (!lame.waitForFinished(30000) || lame.exitStatus() != QProcess::NormalExit || lame.exitCode() != 0) {
        *error = QStringLiteral("lame failed: %1").arg(QString::fromLocal8Bit(lame.readAllStandardError()).trimmed());
        return {};
    }
    return lame.readAllStandardOutput();
}

} // namespace tovrik::test
