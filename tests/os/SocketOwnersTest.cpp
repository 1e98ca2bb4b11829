#include <csignal>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/ProcReader.h"

namespace {

// A forked child that holds the test's listening socket until it is stopped;
// exec() makes it exec `sleep` with the socket still open and returns once
// the exec happened (the close-on-exec pipe end closes).
class Holder {
public:
    Holder() {
        int go[2], execDone[2];
        if (pipe2(go, O_CLOEXEC) != 0 || pipe2(execDone, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            char byte = 0;
            if (read(go[0], &byte, 1) == 1)
                execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(0);
        }
        close(go[0]);
        close(execDone[1]);
        m_go = go[1];
        m_execDone = execDone[0];
    }
    ~Holder() {
        stop();
        close(m_go);
        close(m_execDone);
    }
    void stop() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void exec() {
        const char byte = 1;
        ASSERT_EQ(write(m_go, &byte, 1), 1);
        char sink = 0;
        ASSERT_EQ(read(m_execDone, &sink, 1), 0);
    }
    pid_t pid = -1;

private:
    int m_go = -1;
    int m_execDone = -1;
};

// A loopback listener without close-on-exec, so children keep it.
int listenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

TEST(SocketOwners, AHolderIsFollowedThroughItsExitAndThroughExec) {
    int port = 0;
    const int listener = listenOnLoopback(port);
    ASSERT_GE(listener, 0);
    Holder first, second;
    close(listener); // only the children hold it now
    ProcReader::SocketOwnerCache owners;

    const Pid gone = first.pid;
    EXPECT_EQ(ProcReader::listeningPorts({gone}, owners), (PortMap{{gone, {port}}}));
    // The known holder exits: the socket is found in the other process.
    first.stop();
    EXPECT_EQ(ProcReader::listeningPorts({gone, second.pid}, owners),
              (PortMap{{second.pid, {port}}}));
    // The same process, now another program, still holds it.
    second.exec();
    EXPECT_EQ(ProcReader::listeningPorts({second.pid}, owners), (PortMap{{second.pid, {port}}}));
}

} // namespace
