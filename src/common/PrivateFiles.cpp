#include "common/PrivateFiles.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrik {

namespace {

QString systemError(const QString& what, int error)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)));
}

bool writeAll(int fd, const QByteArray& bytes, int* error)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (n == 0) {
            *error = ENOSPC;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

} // namespace

bool makePrivateDirectory(const QString& path, QString* error)
{
    if (!QDir().mkpath(path)) {
        *error = QStringLiteral("its folder could not be created");
        return false;
    }
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("its folder could not be created");
        return false;
    }
    // A folder another user owns is theirs to read and to change under us.
    if (st.st_uid != ::getuid()) {
        *error = QStringLiteral("its folder belongs to another user");
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        *error = systemError(QStringLiteral("its folder could not be made private"), errno);
        return false;
    }
    return true;
}

int createPrivateFile(const QString& path, QString* error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        *error = systemError(QStringLiteral("could not create %1").arg(QFileInfo(path).fileName()), errno);
    return fd;
}

bool writePrivateFileAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".tmp-XXXXXX";
    // mkostemp creates the file 0600 with O_EXCL under an unpredictable name.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("could not create a temporary file"), errno);
        return false;
    }
    int failure = 0;
    QString step;
    if (!writeAll(fd, bytes, &failure))
        step = QStringLiteral("could not write");
    else if (::fsync(fd) != 0)
        failure = errno, step = QStringLiteral("could not flush to disk");
    if (::close(fd) != 0 && step.isEmpty())
        failure = errno, step = QStringLiteral("could not close");
    if (step.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
        failure = errno, step = QStringLiteral("could not replace the old file");
    if (!step.isEmpty()) {
        ::unlink(temporary.constData());
        *error = systemError(step, failure);
        return false;
    }
    // Make the rename itself durable; the new file is in place either way.
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace tovrik
