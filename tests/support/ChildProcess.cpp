#include "support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

#include <QFile>

extern char** environ;

ChildProcess::ChildProcess(const QStringList& argv) {
    std::vector<QByteArray> bytes;
    for (const QString& argument : argv)
        bytes.push_back(QFile::encodeName(argument));
    std::vector<char*> pointers;
    for (QByteArray& argument : bytes)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    if (::posix_spawnp(&pid_, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0)
        pid_ = -1;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        reap();
    }
}

int ChildProcess::reap() {
    if (pid_ <= 0)
        return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
}
