#include "os/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include "os/FileNames.h"

namespace AtomicFile {

namespace {

QString failure(const QString& path, int error) {
    return QCoreApplication::translate("AtomicFile", "Could not change %1: %2.")
        .arg(FileNames::displayText(path), QString::fromLocal8Bit(std::strerror(error)));
}

QString changedMeanwhile(const QString& path) {
    return QCoreApplication::translate("AtomicFile", "%1 changed meanwhile and was left as it is.")
        .arg(FileNames::displayText(path));
}

// A synced temporary file next to `target`: its path, or none with errno set.
QByteArray temporaryCopy(const QByteArray& target, const QByteArray& bytes, mode_t mode) {
    QByteArray path = target + ".XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    bool written = fd >= 0 && ::fchmod(fd, mode) == 0;
    for (qsizetype done = 0; written && done < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        done += wrote > 0 ? wrote : 0;
        written = wrote > 0 || errno == EINTR;
    }
    written = written && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 && !written)
        ::unlink(path.constData());
    errno = error;
    return written ? path : QByteArray();
}

} // namespace

std::optional<QByteArray> read(const QString& path, qsizetype limit) {
    const int fd =
        ::open(FileNames::encode(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    bool whole =
        fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= limit;
    // One byte more than the size tells a file that grows while it is read.
    QByteArray bytes(whole ? info.st_size + 1 : 0, Qt::Uninitialized);
    qsizetype total = 0;
    for (ssize_t got = 1; whole && got != 0 && total < bytes.size();) {
        got = ::read(fd, bytes.data() + total, static_cast<size_t>(bytes.size() - total));
        total += got > 0 ? got : 0;
        whole = got >= 0 || errno == EINTR;
    }
    if (fd >= 0)
        ::close(fd);
    if (!whole || total == bytes.size())
        return std::nullopt;
    return bytes.first(total);
}

std::optional<QString> replace(const QString& path, const QByteArray& before,
                               const QByteArray& after) {
    QByteArray target = FileNames::encode(path);
    if (char* real = ::realpath(target.constData(), nullptr)) {
        target = real;
        std::free(real);
    }
    struct stat info {};
    const QByteArray temporary = ::stat(target.constData(), &info) == 0
                                     ? temporaryCopy(target, after, info.st_mode & 07777)
                                     : QByteArray();
    if (temporary.isEmpty())
        return failure(path, errno);
    // The last look before the swap.
    std::optional<QString> error;
    if (read(FileNames::decode(target), before.size()) != before)
        error = changedMeanwhile(path);
    else if (::rename(temporary.constData(), target.constData()) != 0)
        error = failure(path, errno);
    if (error)
        ::unlink(temporary.constData());
    return error;
}

std::optional<QString> create(const QString& path, const QByteArray& bytes) {
    const QByteArray target = FileNames::encode(path);
    for (qsizetype at = target.indexOf('/', 1); at > 0; at = target.indexOf('/', at + 1)) {
        if (::mkdir(target.left(at).constData(), 0700) != 0 && errno != EEXIST)
            return failure(path, errno);
    }
    const QByteArray temporary = temporaryCopy(target, bytes, 0644);
    if (!temporary.isEmpty() &&
        FileNames::renameWithoutReplacing(FileNames::decode(temporary), path))
        return std::nullopt;
    const int error = errno;
    if (!temporary.isEmpty())
        ::unlink(temporary.constData());
    return failure(path, error);
}

std::optional<QString> remove(const QString& path, const QByteArray& bytes) {
    if (read(path, bytes.size()) != bytes)
        return changedMeanwhile(path);
    if (::unlink(FileNames::encode(path).constData()) != 0)
        return failure(path, errno);
    return std::nullopt;
}

} // namespace AtomicFile
