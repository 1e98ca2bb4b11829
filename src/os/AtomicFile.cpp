#include "os/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>

#include "os/FileNames.h"

namespace AtomicFile {

namespace {

// errno 0: the file changed meanwhile.
QString failure(const QString& path, int error) {
    return QCoreApplication::translate("AtomicFile", "Could not change %1: %2.")
        .arg(FileNames::displayText(path),
             error == 0 ? QCoreApplication::translate("AtomicFile", "it changed meanwhile")
                        : QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

std::optional<QByteArray> read(const QString& path, qsizetype limit) {
    QFile file;
    file.open(
        ::open(FileNames::encode(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY),
        QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    // Checked on the open file: a FIFO or a device would block or never end.
    struct stat info {};
    if (!file.isOpen() || ::fstat(file.handle(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > limit)
        return std::nullopt;
    // One byte more than the size tells a file that grows while it is read.
    const QByteArray bytes = file.read(info.st_size + 1);
    if (bytes.size() > info.st_size || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

std::optional<QString> change(const QString& path, const std::optional<QByteArray>& before,
                              const std::optional<QByteArray>& after) {
    QByteArray target = FileNames::encode(path);
    char* real = before && after ? ::realpath(target.constData(), nullptr) : nullptr;
    target = real != nullptr ? QByteArray(real) : target;
    std::free(real);
    struct stat info {};
    if (before && (read(path, before->size()) != before || ::stat(target.constData(), &info) != 0))
        return failure(path, 0);
    if (!after)
        return ::unlink(target.constData()) == 0 ? std::nullopt
                                                 : std::optional(failure(path, errno));
    for (qsizetype at = target.indexOf('/', 1); !before && at > 0;
         at = target.indexOf('/', at + 1)) {
        if (::mkdir(target.left(at).constData(), 0700) != 0 && errno != EEXIST)
            return failure(path, errno);
    }
    // A synced temporary file next to the target, renamed into place after a last look.
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    bool done = fd >= 0 && ::fchmod(fd, before ? info.st_mode & 07777 : 0644) == 0;
    for (qsizetype written = 0; done && written < after->size();) {
        const ssize_t wrote = ::write(fd, after->data() + written, after->size() - written);
        written += wrote > 0 ? wrote : 0;
        done = wrote > 0 || errno == EINTR;
    }
    done = done && ::fsync(fd) == 0;
    int error = errno;
    if (done && before && read(path, before->size()) != before)
        std::tie(done, error) = std::pair(false, 0);
    else if (done &&
             (before ? ::rename(temporary.constData(), target.constData()) != 0
                     : !FileNames::renameWithoutReplacing(FileNames::decode(temporary), path)))
        std::tie(done, error) = std::pair(false, errno);
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 && !done)
        ::unlink(temporary.constData());
    return done ? std::nullopt : std::optional(failure(path, error));
}

} // namespace AtomicFile
