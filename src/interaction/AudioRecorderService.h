#pragma once

#include <QFile>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

namespace tovrik {

class ClockTimer;
namespace platform {
class AudioInputStream;
}

// A finished recording: a mono 16-bit PCM WAV file in the temporary folder.
struct AudioRecording {
    QString filePath;
    int sampleRate = 0;
    qint64 sampleCount = 0;
    double duration() const { return sampleRate > 0 ? double(sampleCount) / sampleRate : 0.0; }
};

// Records the microphone to a WAV file and meters its level. Lives on the
// main thread; the samples are written under a lock.
class AudioRecorderService : public QObject {
    Q_OBJECT
public:
    static inline const QString errorDomain = QStringLiteral("TovrikAudioRecorder");
    enum ErrorCode { MicrophoneUnavailable = 1, FileFailed = 2, NotRecording = 3, EmptyRecording = 4, WriteFailed = 5 };

    // 16 kHz mono 16-bit: what the transcription service takes.
    static constexpr int sampleRate = 16000;
    static constexpr double meteringInterval = 1.0 / 36.0;
    static constexpr int wavHeaderSize = 44;

    explicit AudioRecorderService(QObject* parent = nullptr);
    ~AudioRecorderService() override;

    // Starts a new recording (a running one is cancelled and deleted first).
    // Emits audioPowerLevelChanged(0) and then the level 36 times a second.
    // Throws TovrikError (MicrophoneUnavailable, FileFailed).
    void startRecording();
    // Stops, finalises and validates the recording. Throws TovrikError
    // (NotRecording; EmptyRecording and WriteFailed delete the file first).
    AudioRecording stopRecording();
    // Stops and deletes the running recording, if any.
    void cancelRecording();
    // Deletes a finished recording's file; false when it could not be removed.
    static bool deleteRecording(const QString& filePath);
    // Where recordings are made: "Tovrik" in the user's runtime folder (which
    // only the user can enter), else the temporary folder.
    static QString recordingFolder();

    bool isRecording() const;
    // The path of the running recording (empty when none runs).
    QString currentFilePath() const;
    // The latest metered level, 0...1.
    double audioPowerLevel() const;

    // The level (0...1) of 16-bit samples: RMS in dBFS mapped from -50...0.
    static double powerLevel(double sumOfSquares, qint64 count);
    // The canonical 44-byte header of a mono 16-bit PCM file.
    static QByteArray wavHeader(int sampleRate, qint64 dataBytes);

signals:
    void audioPowerLevelChanged(double level);

private:
    void appendSamples(const QByteArray& pcm);
    void meterTick();
    void stopInput(bool keepTail);
    bool finalizeFile(qint64* sampleCount);

    mutable std::mutex m_lock; // guards the file, counters and level sums
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<platform::AudioInputStream> m_stream;
    ClockTimer* m_meterTimer = nullptr;
    qint64 m_dataBytes = 0;
    bool m_writeFailed = false;
    bool m_oddByte = false;
    char m_pendingByte = 0;
    double m_sumOfSquares = 0;
    qint64 m_meterCount = 0;
    double m_level = 0;
};

} // namespace tovrik
