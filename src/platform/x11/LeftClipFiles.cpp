#include "platform/x11/LeftClipFiles.h"

#include "platform/x11/ProcessRecords.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik::platform::x11 {

namespace {

// The files some process of this user's has open (by device and inode).
QSet<QPair<quint64, quint64>> openFiles()
{
    QSet<QPair<quint64, quint64>> open;
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : processes) {
        bool number = false;
        pid.toLongLong(&number);
        if (!number)
            continue;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            struct stat st {};
            if (::stat(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), &st) == 0 && S_ISREG(st.st_mode))
                open.insert({quint64(st.st_dev), quint64(st.st_ino)});
        }
    }
    return open;
}

} // namespace

QString clipFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

int removeLeftClipFiles(const QString& folder)
{
    if (folder.isEmpty() || !isPrivateFolder(folder))
        return 0;
    static const QRegularExpression shape(QStringLiteral("^tovrik-speech-[A-Za-z0-9]{6}\\.(mp3|wav)$"));
    QStringList candidates;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("tovrik-speech-*")}, QDir::Files | QDir::System | QDir::Hidden)) {
        if (shape.match(name).hasMatch())
            candidates << name;
    }
    if (candidates.isEmpty())
        return 0;
    const auto open = openFiles();
    int removed = 0;
    for (const QString& name : candidates) {
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(name));
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()
            || open.contains({quint64(st.st_dev), quint64(st.st_ino)}))
            continue;
        if (::unlink(path.constData()) == 0)
            ++removed;
    }
    if (removed > 0)
        qInfo("tovrik: removed %d speech clip file(s) left in %s by runs that did not end cleanly", removed, qPrintable(folder));
    return removed;
}

} // namespace tovrik::platform::x11
