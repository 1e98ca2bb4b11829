// Measures the process reader against a bare /proc/PID/stat loop on a machine
// with a few hundred extra processes of its own: some hold many open files,
// some listen on loopback. Prints per-process costs and ratios of one run.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "os/ProcPlatform.h"
#include "os/ProcReader.h"

namespace {

constexpr int childCount = 300;
constexpr int rounds = 15;

// Sets up one child according to its index, reports readiness, then waits for
// the release pipe to close.
[[noreturn]] void childMain(int index, int release, int ready) {
    if (index % 10 == 0) {
        const int null = open("/dev/null", O_RDONLY);
        for (int i = 0; i < 300 && null >= 0; ++i)
            (void)dup(null);
    }
    if (index % 10 == 1) {
        const int four = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (four >= 0 && bind(four, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            listen(four, 4);
        const int six = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 address6{};
        address6.sin6_family = AF_INET6;
        address6.sin6_addr = in6addr_loopback;
        if (six >= 0 && bind(six, reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0)
            listen(six, 4);
    }
    const char byte = 1;
    (void)!write(ready, &byte, 1);
    char sink = 0;
    while (read(release, &sink, 1) > 0) {
    }
    _exit(0);
}

double medianMicros(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double timeMicros(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

// Open descriptors of the given processes: what a full listening-port scan reads.
size_t descriptorCount(const std::vector<Pid>& pids) {
    size_t count = 0;
    char path[64];
    for (const Pid pid : pids) {
        std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
        if (DIR* directory = opendir(path)) {
            while (const dirent* entry = readdir(directory))
                count += entry->d_name[0] != '.';
            closedir(directory);
        }
    }
    return count;
}

std::vector<Pid> ownPids(const ProcessTable& table) {
    std::vector<Pid> pids;
    for (const auto& [pid, snapshot] : table) {
        if (snapshot.uid == getuid())
            pids.push_back(pid);
    }
    return pids;
}

} // namespace

int main() {
    int release[2];
    int ready[2];
    if (pipe(release) != 0 || pipe(ready) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int i = 0; i < childCount; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(release[1]);
            close(ready[0]);
            childMain(i, release[0], ready[1]);
        }
        if (pid > 0)
            children.push_back(pid);
    }
    close(release[0]);
    close(ready[1]);
    for (size_t started = 0; started < children.size();) {
        char bytes[64];
        const ssize_t count = read(ready[0], bytes, sizeof bytes);
        if (count <= 0)
            break;
        started += static_cast<size_t>(count);
    }

    std::vector<double> bare, coldRead, coldPorts, steadyRead, steadyPorts;
    size_t processes = 0;
    size_t own = 0;
    size_t withPorts = 0;
    size_t descriptors = 0;
    ProcReader::StaticInfoCache warmInfo;
    ProcReader::SocketOwnerCache warmOwners;
    ProcReader::listeningPorts(ownPids(ProcReader::readAll(warmInfo)), warmOwners);
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(timeMicros([] { BenchSupport::bareStatLoop(); }));

        ProcReader::StaticInfoCache info;
        ProcReader::SocketOwnerCache owners;
        ProcessTable table;
        coldRead.push_back(timeMicros([&] { table = ProcReader::readAll(info); }));
        const std::vector<Pid> pids = ownPids(table);
        coldPorts.push_back(timeMicros([&] { ProcReader::listeningPorts(pids, owners); }));

        ProcessTable steadyTable;
        steadyRead.push_back(timeMicros([&] { steadyTable = ProcReader::readAll(warmInfo); }));
        const std::vector<Pid> steadyPids = ownPids(steadyTable);
        PortMap ports;
        steadyPorts.push_back(
            timeMicros([&] { ports = ProcReader::listeningPorts(steadyPids, warmOwners); }));
        processes = steadyTable.size();
        own = steadyPids.size();
        withPorts = ports.size();
        descriptors = descriptorCount(steadyPids);
    }

    const double n = static_cast<double>(processes);
    const double bareUs = medianMicros(bare);
    const double coldUs = medianMicros(coldRead) + medianMicros(coldPorts);
    const double steadyUs = medianMicros(steadyRead) + medianMicros(steadyPorts);
    std::printf("processes read: %zu (own %zu, with listening ports %zu; %d children of this "
                "benchmark), median of %d rounds\n",
                processes, own, withPorts, childCount, rounds);
    std::printf("%-36s %10s %14s\n", "", "pass (us)", "per process (us)");
    std::printf("%-36s %10.0f %14.2f\n", "bare loop (list + read stat)", bareUs, bareUs / n);
    std::printf("%-36s %10.0f %14.2f\n", "cold readAll", medianMicros(coldRead),
                medianMicros(coldRead) / n);
    std::printf("%-36s %10.0f %14.2f\n", "cold listeningPorts", medianMicros(coldPorts),
                medianMicros(coldPorts) / n);
    std::printf("%-36s %10.0f %14.2f\n", "cold readAll + listeningPorts", coldUs, coldUs / n);
    std::printf("%-36s %10.0f %14.2f\n", "steady readAll", medianMicros(steadyRead),
                medianMicros(steadyRead) / n);
    std::printf("%-36s %10.0f %14.2f\n", "steady listeningPorts", medianMicros(steadyPorts),
                medianMicros(steadyPorts) / n);
    std::printf("%-36s %10.0f %14.2f\n", "steady readAll + listeningPorts", steadyUs, steadyUs / n);
    std::printf("cold listeningPorts reads %zu descriptors: %.2f us per descriptor\n", descriptors,
                medianMicros(coldPorts) / static_cast<double>(descriptors));
    std::printf("steady / bare loop: %.2f (goal <= 2)\n", steadyUs / bareUs);
    std::printf("cold per process: %.2f us (goal < 40)\n", coldUs / n);

    close(release[1]); // every child's read returns 0 and it exits
    for (const pid_t pid : children) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    return 0;
}
