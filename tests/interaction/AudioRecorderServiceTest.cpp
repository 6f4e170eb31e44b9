#include "AsyncOutcome.h"
#include "interaction/AudioRecorderService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>

using namespace tovrik;
using namespace tovrik::test;

namespace {

quint32 le32(const QByteArray& b, int at) { return qFromLittleEndian<quint32>(b.constData() + at); }
quint16 le16(const QByteArray& b, int at) { return qFromLittleEndian<quint16>(b.constData() + at); }

QStringList recordingsLeft()
{
    QStringList left;
    for (const QString& folder : {QDir::tempPath(), AudioRecorderService::recordingFolder()})
        left << QDir(folder).entryList({QStringLiteral("tovrik-recording-*.wav")}, QDir::Files);
    return left;
}

QByteArray pcmOf(std::initializer_list<qint16> samples)
{
    QByteArray pcm(qsizetype(samples.size()) * 2, Qt::Uninitialized);
    qToLittleEndian<qint16>(samples.begin(), qsizetype(samples.size()), pcm.data());
    return pcm;
}

class AudioRecorderTest : public SimTest {
protected:
    // Each test gets a shared temporary folder (open to everyone, like /tmp)
    // and a runtime folder of its own, so what it leaves behind is exactly
    // what the recorder left.
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_TRUE(tempDir.isValid());
        for (const char* sub : {"shared", "runtime"})
            ASSERT_TRUE(QDir(tempDir.path()).mkdir(QString::fromLatin1(sub)));
        ASSERT_TRUE(QFile::setPermissions(tempDir.filePath("shared"), QFile::Permissions(0x7777)));
        ASSERT_TRUE(QFile::setPermissions(tempDir.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        for (const auto& [name, sub] : {std::pair{"TMPDIR", "shared"}, std::pair{"XDG_RUNTIME_DIR", "runtime"}}) {
            previous.append({name, qgetenv(name)});
            qputenv(name, tempDir.filePath(QString::fromLatin1(sub)).toUtf8());
        }
    }
    void TearDown() override
    {
        EXPECT_EQ(recordingsLeft(), QStringList());
        for (const auto& [name, value] : previous)
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        SimTest::TearDown();
    }
    QTemporaryDir tempDir;
    QList<std::pair<const char*, QByteArray>> previous;
};

} // namespace

TEST_F(AudioRecorderTest, WritesMono16BitWavAt16kHzFromAnyChunking)
{
    AudioRecorderService recorder;
    const mode_t umaskBefore = ::umask(0);
    recorder.startRecording();
    ::umask(umaskBefore);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_EQ(sim->simAudioInput().sampleRate(), 16000);
    const QString path = recorder.currentFilePath();
    EXPECT_TRUE(path.endsWith(QStringLiteral(".wav")));
    // The voice is private to its owner from the start: made 0600 by open()
    // even under an open umask, in a folder only the owner can enter.
    struct stat fileStat {}, folder {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &fileStat), 0);
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder), 0);
    EXPECT_EQ(fileStat.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.st_uid, ::getuid());
    // Samples split across chunks stay whole; a trailing half sample is
    // dropped from the file, not counted.
    const QByteArray first = pcmOf({0, 1000, -1000, 32767, -32768});
    for (const auto& [at, length] : {std::pair{0, 3}, {3, 4}, {7, -1}})
        sim->simAudioInput().feed(first.mid(at, length));
    sim->simAudioInput().feedTone(1.0, 0.5);
    sim->simAudioInput().feed(QByteArray(1, char(0x7F)));
    const AudioRecording recording = recorder.stopRecording();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(sim->simAudioInput().isRunning());
    EXPECT_EQ(std::make_tuple(recording.filePath, recording.sampleRate, recording.sampleCount),
              std::make_tuple(path, 16000, qint64(5 + 16000)));
    EXPECT_NEAR(recording.duration(), 1.0 + 5.0 / 16000, 1e-9);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray wav = file.readAll();
    ASSERT_EQ(wav.size(), 44 + 2 * (5 + 16000));
    EXPECT_EQ(wav.left(4) + wav.mid(8, 8) + wav.mid(36, 4), QByteArray("RIFFWAVEfmt data"));
    // Offset, width and value: RIFF size, fmt size, PCM, mono, rate, bytes
    // per second, block align, bits, data size.
    const std::tuple<int, int, quint32> fields[] = {{4, 4, quint32(wav.size() - 8)}, {16, 4, 16}, {20, 2, 1}, {22, 2, 1},
                                                    {24, 4, 16000}, {28, 4, 32000}, {32, 2, 2}, {34, 2, 16},
                                                    {40, 4, quint32(2 * (5 + 16000))}};
    for (const auto& [at, width, value] : fields)
        EXPECT_EQ(width == 4 ? le32(wav, at) : le16(wav, at), value) << "offset " << at;
    EXPECT_EQ(wav.mid(44, first.size()), first);
    EXPECT_TRUE(AudioRecorderService::deleteRecording(path));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(AudioRecorderTest, MetersThirtySixTimesASecondAndFailuresRestartCancelAndDestructionLeaveNoFile)
{
    AudioRecorderService recorder;
    QList<double> levels;
    QObject::connect(&recorder, &AudioRecorderService::audioPowerLevelChanged, [&](double l) { levels << l; });
    recorder.startRecording();
    ASSERT_EQ(levels, QList<double>({0.0}));
    // A tone at half scale: RMS 0.3536 = -9.03 dBFS -> (50 - 9.03) / 50.
    sim->simAudioInput().feedTone(0.05, 0.5);
    advance(1.0 / 36.0 + 1e-6);
    ASSERT_EQ(levels.size(), 2);
    EXPECT_NEAR(levels[1], (50.0 + 20.0 * std::log10(0.5 / std::sqrt(2.0))) / 50.0, 0.01);
    EXPECT_NEAR(recorder.audioPowerLevel(), levels[1], 1e-12);
    // A tick without new samples keeps the level; silence then reads 0.
    advance(1.0 / 36.0);
    sim->simAudioInput().feed(QByteArray(640, '\0'));
    advance(1.0 / 36.0);
    EXPECT_EQ(levels.mid(2), QList<double>({levels[1], 0.0}));
    // One second holds 36 ticks.
    levels.clear();
    advance(1.0);
    EXPECT_EQ(levels.size(), 36);

    levels.clear();
    const auto recording = recorder.stopRecording();
    EXPECT_EQ(levels, QList<double>({0.0}));
    advance(0.5);
    EXPECT_EQ(levels, QList<double>({0.0})); // metering has stopped
    AudioRecorderService::deleteRecording(recording.filePath);
    // Failures leave no file, and a failed start no metering.
    const auto expectFailure = [](const std::function<void()>& call, int code, const char* message) {
        try {
            call();
            ADD_FAILURE() << "succeeded: " << message;
        } catch (const TovrikError& e) {
            EXPECT_EQ(e.domain(), QStringLiteral("TovrikAudioRecorder"));
            EXPECT_EQ(e.code(), code);
            EXPECT_EQ(e.message(), QString::fromUtf8(message));
        }
    };
    recorder.startRecording();
    const QString path = recorder.currentFilePath();
    ASSERT_TRUE(QFileInfo::exists(path));
    expectFailure([&] { recorder.stopRecording(); }, AudioRecorderService::EmptyRecording, "No audio was recorded.");
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(recorder.isRecording());
    expectFailure([&] { recorder.stopRecording(); }, AudioRecorderService::NotRecording, "No recording is in progress.");

    levels.clear();
    sim->simAudioInput().failWith = QStringLiteral("no input device");
    expectFailure([&] { recorder.startRecording(); }, AudioRecorderService::MicrophoneUnavailable,
                  "Could not start the microphone: no input device");
    EXPECT_FALSE(recorder.isRecording());
    advance(0.2);
    EXPECT_TRUE(levels.isEmpty());
    // Restarting, cancelling and destroying the recorder delete the running file.
    sim->simAudioInput().failWith.clear();
    QString second;
    {
        AudioRecorderService recorder;
        recorder.startRecording();
        const QString first = recorder.currentFilePath();
        sim->simAudioInput().feedTone(0.1, 0.2);
        recorder.startRecording(); // replaces (and deletes) the running one
        second = recorder.currentFilePath();
        EXPECT_NE(first, second);
        EXPECT_FALSE(QFileInfo::exists(first));
        recorder.cancelRecording();
        EXPECT_FALSE(QFileInfo::exists(second));
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_FALSE(sim->simAudioInput().isRunning());
        sim->simAudioInput().feedTone(0.1, 0.2); // late samples go nowhere
        recorder.cancelRecording();              // idempotent
        recorder.startRecording();
        second = recorder.currentFilePath();
        sim->simAudioInput().feedTone(0.05, 0.3);
    }
    EXPECT_FALSE(QFileInfo::exists(second));
    EXPECT_FALSE(sim->simAudioInput().isRunning());
}
