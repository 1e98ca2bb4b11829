#include "os/CommandRunner.h"
#include "os/ProcessDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QUuid>

extern char** environ;

namespace CommandRunner {

namespace {

using Clock = std::chrono::steady_clock;

// How long a tool that was asked to stop at its time-out may take before it is
// killed outright.
constexpr std::chrono::milliseconds terminateGrace{2000};

// Polling step when the kernel offers no process descriptor to wait on.
constexpr std::chrono::milliseconds pollStep{10};

QString tr(const char* text) {
    return QCoreApplication::translate("CommandRunner", text);
}

QString systemMessage(int error) {
    char buffer[256] = {};
    // The GNU variant returns the message, which may or may not live in buffer.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    return QString::fromLocal8Bit(message);
}

// A path in the temporary folder, created exclusively and readable by the
// owner only. Removes the file when it goes out of scope.
class TemporaryFile {
public:
    TemporaryFile(const QString& folder, const char* extension) {
        const QString name = QStringLiteral("quillmarsh-") +
                             QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                             QLatin1String(extension);
        path_ = QFile::encodeName(folder + QLatin1Char('/') + name);
        int fd = ::open(path_.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        created_ = true;
        // Keep the descriptor clear of 0, 1 and 2 so that redirecting the
        // child's standard streams never collides with it.
        if (fd <= STDERR_FILENO) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            ::close(fd);
            fd = moved;
        }
        fd_ = fd;
    }

    ~TemporaryFile() {
        close();
        if (created_)
            ::unlink(path_.constData());
    }

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Everything written to the file, read through the descriptor so that
    // nobody can swap the file under us. Empty when reading fails.
    QByteArray readAll() const {
        QByteArray data;
        if (fd_ < 0)
            return data;
        struct stat info {};
        if (::fstat(fd_, &info) == 0 && info.st_size > 0)
            data.reserve(static_cast<qsizetype>(info.st_size));
        char chunk[65536];
        off_t offset = 0;
        for (;;) {
            const ssize_t count = ::pread(fd_, chunk, sizeof chunk, offset);
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                return {};
            }
            if (count == 0)
                break;
            data.append(chunk, count);
            offset += count;
        }
        return data;
    }

private:
    QByteArray path_;
    int fd_ = -1;
    bool created_ = false;
};

// Strict UTF-8: any malformed or truncated sequence makes the whole text empty.
QString decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text;
}

class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Standard output and error go to the two files; every other descriptor
    // this process holds stays out of the child; signals start out default
    // and unblocked whatever this process did with them.
    // Returns 0 or the error number.
    int configure(int outFd, int errFd) {
        if (int error = ::posix_spawn_file_actions_adddup2(&actions_, outFd, STDOUT_FILENO))
            return error;
        if (int error = ::posix_spawn_file_actions_adddup2(&actions_, errFd, STDERR_FILENO))
            return error;
        if (int error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1))
            return error;
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        if (int error = ::posix_spawnattr_setsigmask(&attributes_, &none))
            return error;
        if (int error = ::posix_spawnattr_setsigdefault(&attributes_, &all))
            return error;
        return ::posix_spawnattr_setflags(&attributes_,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// A started child, reaped exactly once.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid), pidfd_(ProcessDescriptor::open(pid)) {}
    ~Child() {
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits until the child ends or `deadline` passes. True when it ended.
    bool waitUntil(Clock::time_point deadline) {
        for (;;) {
            if (reap(WNOHANG))
                return true;
            const auto now = Clock::now();
            if (now >= deadline)
                return false;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (pidfd_ >= 0) {
                pollfd entry{pidfd_, POLLIN, 0};
                const int step = static_cast<int>(std::min<long long>(left, 1000));
                if (::poll(&entry, 1, step) < 0 && errno != EINTR && errno != EAGAIN) {
                    ::close(pidfd_);
                    pidfd_ = -1;
                }
            } else {
                std::this_thread::sleep_for(std::min(pollStep, std::chrono::milliseconds(left)));
            }
        }
    }

    void signal(int number) const {
        // Until it is reaped the pid cannot be reused, so this never reaches a
        // stranger.
        if (!waitStatus_ && !lost_)
            ::kill(pid_, number);
    }

    // Blocks until the child is gone.
    void waitForever() { reap(0); }

    std::optional<int> waitStatus() const { return waitStatus_; }

private:
    bool reap(int options) {
        if (waitStatus_ || lost_)
            return true;
        for (;;) {
            int status = 0;
            const pid_t result = ::waitpid(pid_, &status, options);
            if (result == pid_) {
                waitStatus_ = status;
                return true;
            }
            if (result == 0)
                return false;
            if (errno == EINTR)
                continue;
            // Someone else reaped it (SIGCHLD ignored, or a reaper thread).
            lost_ = true;
            return true;
        }
    }

    pid_t pid_;
    int pidfd_;
    std::optional<int> waitStatus_;
    bool lost_ = false;
};

QString durationText(std::chrono::milliseconds timeout) {
    const double seconds = static_cast<double>(timeout.count()) / 1000.0;
    return tr("%1 seconds").arg(QString::number(seconds, 'f', 1));
}

} // namespace

CommandResult runCommand(const QString& executable, const QStringList& arguments,
                         std::chrono::milliseconds timeout) {
    const QString folder = QDir::tempPath();
    TemporaryFile outFile(folder, ".out");
    if (!outFile.isOpen())
        return {-1, {}, tr("Could not create temporary files")};
    TemporaryFile errFile(folder, ".err");
    if (!errFile.isOpen())
        return {-1, {}, tr("Could not create temporary files")};

    SpawnSetup setup;
    if (const int setupError = setup.configure(outFile.fd(), errFile.fd()))
        return {-1, {}, systemMessage(setupError)};

    const QByteArray path = QFile::encodeName(executable);
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<size_t>(arguments.size()) + 1);
    storage.push_back(path);
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, path.constData(), setup.actions(),
                                         setup.attributes(), argv.data(), environ);
    if (spawnError != 0)
        return {-1, {}, systemMessage(spawnError)};

    Child child(pid);
    bool timedOut = false;
    if (!child.waitUntil(Clock::now() + timeout)) {
        timedOut = true;
        child.signal(SIGTERM);
        if (!child.waitUntil(Clock::now() + terminateGrace)) {
            child.signal(SIGKILL);
            child.waitForever();
        }
    }

    const QString output = decodeUtf8(outFile.readAll());
    QString error = decodeUtf8(errFile.readAll()).trimmed();
    outFile.close();
    errFile.close();

    if (timedOut) {
        QString message = tr("Timed out after %1").arg(durationText(timeout));
        if (!error.isEmpty())
            message += QStringLiteral(": ") + error;
        return {-2, output, message};
    }

    const std::optional<int> waitStatus = child.waitStatus();
    if (!waitStatus)
        return {-1, output, error.isEmpty() ? tr("Lost track of the tool's process") : error};
    if (WIFSIGNALED(*waitStatus)) {
        // Reported the way shells do, so that it never reads as an ordinary
        // exit status such as 3.
        const int number = WTERMSIG(*waitStatus);
        if (error.isEmpty())
            error = tr("Stopped by signal %1").arg(number);
        return {128 + number, output, error};
    }
    return {WEXITSTATUS(*waitStatus), output, error};
}

} // namespace CommandRunner
