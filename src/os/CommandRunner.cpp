#include "os/CommandRunner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>

#include "os/FileNames.h"
#include "os/ProcessDescriptor.h"

extern char** environ;

namespace CommandRunner {

namespace {

using Clock = std::chrono::steady_clock;

// How long a tool group that was asked to stop may take before it is killed
// outright.
constexpr std::chrono::milliseconds terminateGrace{2000};

// Polling step when the kernel offers no process descriptor to wait on.
constexpr std::chrono::milliseconds pollStep{10};

// Standard error carries messages; beyond this much it is dropped.
constexpr qsizetype errorLimit = 64 * 1024;

QString tr(const char* text) {
    return QCoreApplication::translate("CommandRunner", text);
}

QString systemMessage(int error) {
    char buffer[256] = {};
    // The GNU variant returns the message, which may or may not live in buffer.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    return QString::fromLocal8Bit(message);
}

// Owns one descriptor.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe whose read end stays here (non-blocking) and whose write end becomes a
// standard stream of the child. Both ends are kept clear of 0, 1 and 2, so
// redirecting the child's streams never collides with them.
struct Pipe {
    Descriptor read;
    Descriptor write;

    bool open() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return false;
        read.reset(aboveStandardStreams(ends[0]));
        write.reset(aboveStandardStreams(ends[1]));
        return read.get() >= 0 && write.get() >= 0 && ::fcntl(read.get(), F_SETFL, O_NONBLOCK) == 0;
    }

private:
    static int aboveStandardStreams(int fd) {
        if (fd < 0 || fd > STDERR_FILENO)
            return fd;
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        return moved;
    }
};

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

    // Standard input reads nothing (in a group of its own the tool must not
    // wait for a terminal); standard output and error go to the two pipes;
    // every other descriptor
    // this process holds stays out of the child; the child leads a new process
    // group; signals start out default and unblocked whatever this process did
    // with them. Returns 0 or the error number.
    int configure(int outFd, int errFd) {
        if (int error = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null",
                                                           O_RDONLY, 0))
            return error;
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
        if (int error = ::posix_spawnattr_setpgroup(&attributes_, 0))
            return error;
        return ::posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// A started child that leads its own process group. It is reaped last, so
// until then neither its pid nor its group id can pass to another process.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid), pidfd_(ProcessDescriptor::open(pid)) {}
    ~Child() {
        // Never leave a zombie, whatever path the caller took.
        reap();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // A descriptor that turns readable when the child ends, or -1.
    int descriptor() const { return pidfd_.get(); }

    // Whether the child has ended, without reaping it.
    bool hasEnded() {
        if (ended_)
            return true;
        siginfo_t info{};
        for (;;) {
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
                break;
            if (errno == EINTR)
                continue;
            // Someone else reaped it (SIGCHLD ignored, or a reaper thread).
            lost_ = true;
            ended_ = true;
            return true;
        }
        ended_ = info.si_pid == pid_;
        return ended_;
    }

    void signalGroup(int number) const {
        if (!reaped_)
            ::kill(-pid_, number);
    }

    // Reaps the child, waiting for it if needed; its wait status, or none
    // when someone else reaped it.
    std::optional<int> reap() {
        if (reaped_ || lost_)
            return waitStatus_;
        for (;;) {
            int status = 0;
            const pid_t result = ::waitpid(pid_, &status, 0);
            if (result == pid_) {
                waitStatus_ = status;
                break;
            }
            if (errno == EINTR)
                continue;
            lost_ = true;
            break;
        }
        reaped_ = true;
        return waitStatus_;
    }

private:
    pid_t pid_;
    Descriptor pidfd_;
    bool ended_ = false;
    bool reaped_ = false;
    bool lost_ = false;
    std::optional<int> waitStatus_;
};

// What is read from one pipe, up to a limit.
struct Stream {
    Descriptor* fd;
    qsizetype limit;
    // Past the limit: true drops the rest and reads on, false stops reading.
    bool dropExcess;
    QByteArray data;
    bool open = true;
    bool overflowed = false;
};

// Reads what `stream` holds now, without waiting, and at most a pipe's worth
// of chunks at a time, so that a tool writing without pause cannot keep the
// caller from its deadline.
void drain(Stream& stream) {
    char chunk[65536];
    for (int round = 0; round < 16 && stream.open && !(stream.overflowed && !stream.dropExcess);
         ++round) {
        const ssize_t count = ::read(stream.fd->get(), chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                stream.open = false;
            return;
        }
        if (count == 0) {
            stream.open = false;
            return;
        }
        const qsizetype room = stream.limit - stream.data.size();
        if (count > room) {
            stream.overflowed = true;
            if (room > 0)
                stream.data.append(chunk, room);
        } else {
            stream.data.append(chunk, count);
        }
    }
}

// Waits until one of the streams has something, the child ends, `stop` is
// requested or `deadline` passes.
void waitForEvent(std::initializer_list<Stream*> streams, const Child& child,
                  Clock::time_point deadline, const Stop* stop = nullptr) {
    std::array<pollfd, 4> entries{};
    nfds_t count = 0;
    for (Stream* stream : streams) {
        if (stream->open)
            entries[count++] = pollfd{stream->fd->get(), POLLIN, 0};
    }
    if (child.descriptor() >= 0)
        entries[count++] = pollfd{child.descriptor(), POLLIN, 0};
    if (stop && stop->descriptor() >= 0)
        entries[count++] = pollfd{stop->descriptor(), POLLIN, 0};
    const auto now = Clock::now();
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(deadline - now, {}));
    // Without a descriptor the child's end or the stop is only seen by asking.
    if (child.descriptor() < 0 || (stop && stop->descriptor() < 0))
        wait = std::min(wait, pollStep);
    wait = std::min(wait, std::chrono::milliseconds(1000));
    ::poll(entries.data(), count, static_cast<int>(wait.count()));
}

enum class Outcome { ended, timedOut, overflowed, stopped };

// Reads both streams until the child ends, its time runs out, it writes too
// much or the caller stops it. Standard error past its limit is dropped, not
// held against the tool.
Outcome follow(Child& child, Stream& out, Stream& err, Clock::time_point deadline,
               const Stop* stop) {
    for (;;) {
        drain(out);
        if (out.overflowed)
            return Outcome::overflowed;
        drain(err);
        if (child.hasEnded()) {
            // What it wrote before it ended is in the pipes; what a child it
            // left behind writes later is not its output.
            drain(out);
            drain(err);
            return out.overflowed ? Outcome::overflowed : Outcome::ended;
        }
        if (stop && stop->isRequested())
            return Outcome::stopped;
        if (Clock::now() >= deadline)
            return Outcome::timedOut;
        waitForEvent({&out, &err}, child, deadline, stop);
    }
}

// Ends the child's whole group: SIGTERM, and SIGKILL for whatever is left
// after the grace period, before the child is reaped.
void endGroup(Child& child) {
    child.signalGroup(SIGTERM);
    const auto deadline = Clock::now() + terminateGrace;
    while (!child.hasEnded() && Clock::now() < deadline)
        waitForEvent({}, child, deadline);
    child.signalGroup(SIGKILL);
}

QString durationText(std::chrono::milliseconds timeout) {
    const double seconds = static_cast<double>(timeout.count()) / 1000.0;
    return tr("%1 seconds").arg(QString::number(seconds, 'f', 1));
}

QString sizeText(qsizetype bytes) {
    if (bytes >= 1024 * 1024)
        return tr("%1 MiB").arg(QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1));
    return tr("%1 KiB").arg(QString::number(double(bytes) / 1024.0, 'f', 1));
}

QString withToolError(QString message, const QString& error) {
    if (!error.isEmpty())
        message += QStringLiteral(": ") + error;
    return message;
}

QString stoppedText() {
    return tr("Stopped: no longer needed");
}

} // namespace

Stop::Stop() : m_descriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Stop::~Stop() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

void Stop::request() {
    if (m_requested.exchange(true) || m_descriptor < 0)
        return;
    const eventfd_t one = 1;
    // Only the readiness matters; a full counter is already readable.
    (void)::write(m_descriptor, &one, sizeof one);
}

CommandResult runCommand(const QString& executable, const QStringList& arguments,
                         std::chrono::milliseconds timeout, qsizetype outputLimit,
                         const Stop* stop) {
    if (stop && stop->isRequested())
        return {-4, {}, stoppedText()};
    Pipe outPipe;
    Pipe errPipe;
    if (!outPipe.open() || !errPipe.open())
        return {-1,
                {},
                tr("Could not create pipes for the tool's output: %1").arg(systemMessage(errno))};

    SpawnSetup setup;
    if (const int setupError = setup.configure(outPipe.write.get(), errPipe.write.get()))
        return {-1, {}, systemMessage(setupError)};

    // File names and arguments keep the bytes they came with.
    const QByteArray path = FileNames::encode(executable);
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<size_t>(arguments.size()) + 1);
    storage.push_back(path);
    for (const QString& argument : arguments)
        storage.push_back(FileNames::encode(argument));
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
    // Only the child writes now, so the pipes report the end of its output.
    outPipe.write.reset();
    errPipe.write.reset();

    Child child(pid);
    Stream out{&outPipe.read, std::max<qsizetype>(outputLimit, 0), false, {}};
    Stream err{&errPipe.read, errorLimit, true, {}};
    const Outcome outcome = follow(child, out, err, Clock::now() + timeout, stop);
    if (outcome != Outcome::ended)
        endGroup(child);
    const std::optional<int> waitStatus = child.reap();
    drain(err);

    QString error = QString::fromUtf8(err.data).trimmed();
    switch (outcome) {
    case Outcome::timedOut:
        return {-2, QString::fromUtf8(out.data),
                withToolError(tr("Timed out after %1").arg(durationText(timeout)), error)};
    case Outcome::stopped:
        return {-4, {}, withToolError(stoppedText(), error)};
    case Outcome::overflowed:
        return {-3,
                {},
                withToolError(tr("Stopped after more than %1 of output").arg(sizeText(outputLimit)),
                              error)};
    case Outcome::ended:
        break;
    }

    const QString output = QString::fromUtf8(out.data);
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
