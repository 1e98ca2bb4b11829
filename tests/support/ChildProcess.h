#pragma once

#include <cerrno>
#include <csignal>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QStringList>

// A real child process started without a shell; killed (SIGKILL) and reaped
// on destruction, so no test leaves one behind.
class ChildProcess {
public:
    explicit ChildProcess(const QStringList& argv) {
        std::vector<QByteArray> bytes;
        std::vector<char*> pointers;
        for (const QString& argument : argv)
            bytes.push_back(QFile::encodeName(argument));
        for (QByteArray& argument : bytes)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        if (::posix_spawnp(&pid_, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0)
            pid_ = -1;
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the child to end and returns its wait status; -1 if not started.
    int reap() {
        int status = 0;
        if (pid_ <= 0)
            return -1;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};
