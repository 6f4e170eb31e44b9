#include "interaction/AudioRecorderService.h"

#include "common/Clock.h"
#include "common/Error.h"
#include "common/PrivateFiles.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace tovrik {

namespace {
void putLE32(char* p, quint32 v) { qToLittleEndian<quint32>(v, p); }
void putLE16(char* p, quint16 v) { qToLittleEndian<quint16>(v, p); }
} // namespace

AudioRecorderService::AudioRecorderService(QObject* parent) : QObject(parent)
{
    m_meterTimer = new ClockTimer(this);
    connect(m_meterTimer, &ClockTimer::timeout, this, &AudioRecorderService::meterTick);
}

AudioRecorderService::~AudioRecorderService()
{
    cancelRecording();
}

QByteArray AudioRecorderService::wavHeader(int rate, qint64 dataBytes)
{
    QByteArray h(wavHeaderSize, '\0');
    char* p = h.data();
    const quint32 data = quint32(std::clamp<qint64>(dataBytes, 0, 0xFFFFFFFFll - 36));
    memcpy(p, "RIFF", 4);
    putLE32(p + 4, 36 + data);
    memcpy(p + 8, "WAVE", 4);
    memcpy(p + 12, "fmt ", 4);
    putLE32(p + 16, 16);            // PCM format chunk size
    putLE16(p + 20, 1);             // PCM
    putLE16(p + 22, 1);             // mono
    putLE32(p + 24, quint32(rate));
    putLE32(p + 28, quint32(rate) * 2); // byte rate
    putLE16(p + 32, 2);             // block align
    putLE16(p + 34, 16);            // bits per sample
    memcpy(p + 36, "data", 4);
    putLE32(p + 40, data);
    return h;
}

double AudioRecorderService::powerLevel(double sumOfSquares, qint64 count)
{
    if (count <= 0 || sumOfSquares <= 0)
        return 0.0;
    const double rms = std::sqrt(sumOfSquares / double(count)) / 32768.0;
    if (rms <= 0)
        return 0.0;
    const double db = 20.0 * std::log10(rms);
    return std::clamp((db + 50.0) / 50.0, 0.0, 1.0);
}

bool AudioRecorderService::isRecording() const
{
    std::lock_guard lock(m_lock);
    return bool(m_file);
}

QString AudioRecorderService::currentFilePath() const
{
    std::lock_guard lock(m_lock);
    return m_file ? m_file->fileName() : QString();
}

double AudioRecorderService::audioPowerLevel() const
{
    std::lock_guard lock(m_lock);
    return m_level;
}

void AudioRecorderService::startRecording()
{
    cancelRecording();

    // The file is created 0600, exclusively and not through a link, in a
    // private folder: it holds the user's voice.
    QString reason;
    const QString folder = recordingFolder();
    const QString path = QDir(folder).filePath(
        QStringLiteral("tovrik-recording-%1.wav").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    auto file = std::make_unique<QFile>(path);
    const bool shared = folder == QDir::tempPath(); // never narrow a shared folder
    const int fd = shared || makePrivateDirectory(folder, &reason) ? createPrivateFile(path, &reason) : -1;
    // Opened again by name (QFile forgets the name of a descriptor it is
    // given): nobody else can replace the new file in between, in a folder
    // only we can enter or, for the temporary folder, one with the sticky bit.
    if (fd >= 0)
        ::close(fd);
    if (fd < 0 || !file->open(QIODevice::WriteOnly | QIODevice::ExistingOnly) ||
        file->write(wavHeader(sampleRate, 0)) != wavHeaderSize) {
        if (fd >= 0) {
            reason = file->errorString();
            file->close();
            QFile::remove(path);
        }
        throw TovrikError(errorDomain, FileFailed, QStringLiteral("Could not create the recording file: %1").arg(reason));
    }

    {
        std::lock_guard lock(m_lock);
        m_file = std::move(file);
        m_dataBytes = 0;
        m_writeFailed = false;
        m_oddByte = false;
        m_sumOfSquares = 0;
        m_meterCount = 0;
        m_level = 0;
    }

    QString error;
    QPointer<AudioRecorderService> self(this);
    auto stream = platform::Platform::get().audioInput().start(
        sampleRate,
        [self](const QByteArray& pcm) {
            if (self)
                self->appendSamples(pcm);
        },
        &error);
    if (!stream) {
        std::unique_ptr<QFile> failed;
        {
            std::lock_guard lock(m_lock);
            failed = std::move(m_file);
        }
        failed->close();
        failed->remove();
        throw TovrikError(errorDomain, MicrophoneUnavailable,
                          error.isEmpty() ? QStringLiteral("Could not start the microphone.")
                                          : QStringLiteral("Could not start the microphone: %1").arg(error));
    }
    m_stream = std::move(stream);
    emit audioPowerLevelChanged(0.0);
    m_meterTimer->start(meteringInterval, true);
}

void AudioRecorderService::appendSamples(const QByteArray& pcm)
{
    std::lock_guard lock(m_lock);
    if (!m_file || pcm.isEmpty())
        return;
    if (!m_writeFailed && m_file->write(pcm) != pcm.size())
        m_writeFailed = true;
    m_dataBytes += pcm.size();
    // Meter whole samples; a chunk may split one.
    const char* p = pcm.constData();
    qsizetype n = pcm.size();
    if (m_oddByte && n > 0) {
        const char pair[2] = {m_pendingByte, p[0]};
        const int16_t s = qFromLittleEndian<qint16>(pair);
        m_sumOfSquares += double(s) * s;
        ++m_meterCount;
        ++p;
        --n;
        m_oddByte = false;
    }
    for (qsizetype i = 0; i + 1 < n; i += 2) {
        const int16_t s = qFromLittleEndian<qint16>(p + i);
        m_sumOfSquares += double(s) * s;
        ++m_meterCount;
    }
    if (n % 2) {
        m_oddByte = true;
        m_pendingByte = p[n - 1];
    }
}

void AudioRecorderService::meterTick()
{
    double level;
    {
        std::lock_guard lock(m_lock);
        if (!m_file)
            return;
        // Ticks without new samples keep the last level.
        if (m_meterCount > 0)
            m_level = powerLevel(m_sumOfSquares, m_meterCount);
        m_sumOfSquares = 0;
        m_meterCount = 0;
        level = m_level;
    }
    emit audioPowerLevelChanged(level);
}

void AudioRecorderService::stopInput(bool keepTail)
{
    // Stopping hands over what the sound server still holds of the
    // recording; a cancelled one lets it go unread.
    if (auto stream = std::move(m_stream); stream && keepTail)
        stream->stop();
    if (m_meterTimer->isActive()) {
        m_meterTimer->stop();
        {
            std::lock_guard lock(m_lock);
            m_level = 0;
        }
        emit audioPowerLevelChanged(0.0);
    }
}

bool AudioRecorderService::finalizeFile(qint64* sampleCount)
{
    // Called with m_lock held and m_file set.
    // An odd trailing byte is half a sample: leave it out of the data size.
    const qint64 dataBytes = m_dataBytes - (m_dataBytes % 2);
    *sampleCount = dataBytes / 2;
    bool ok = !m_writeFailed && m_file->flush();
    if (ok && (m_dataBytes % 2))
        ok = m_file->resize(wavHeaderSize + dataBytes);
    ok = ok && m_file->seek(0) && m_file->write(wavHeader(sampleRate, dataBytes)) == wavHeaderSize &&
         m_file->flush();
    m_file->close();
    return ok;
}

AudioRecording AudioRecorderService::stopRecording()
{
    if (!isRecording())
        throw TovrikError(errorDomain, NotRecording, QStringLiteral("No recording is in progress."));
    stopInput(true);
    std::unique_ptr<QFile> file;
    qint64 samples = 0;
    bool ok;
    {
        std::lock_guard lock(m_lock);
        ok = finalizeFile(&samples);
        file = std::move(m_file);
    }
    const QString path = file->fileName();
    if (!ok) {
        QFile::remove(path);
        throw TovrikError(errorDomain, WriteFailed, QStringLiteral("Could not write the recording."));
    }
    if (samples == 0) {
        QFile::remove(path);
        throw TovrikError(errorDomain, EmptyRecording, QStringLiteral("No audio was recorded."));
    }
    AudioRecording recording;
    recording.filePath = path;
    recording.sampleRate = sampleRate;
    recording.sampleCount = samples;
    return recording;
}

void AudioRecorderService::cancelRecording()
{
    if (!isRecording()) {
        stopInput(false);
        return;
    }
    stopInput(false);
    std::unique_ptr<QFile> file;
    {
        std::lock_guard lock(m_lock);
        file = std::move(m_file);
    }
    file->close();
    file->remove();
}

QString AudioRecorderService::recordingFolder()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        return QDir::tempPath();
    return runtime + QStringLiteral("/Tovrik");
}

bool AudioRecorderService::deleteRecording(const QString& filePath)
{
    if (filePath.isEmpty() || !QFileInfo::exists(filePath))
        return true;
    return QFile::remove(filePath);
}

} // namespace tovrik
