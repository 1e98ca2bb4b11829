#include "os/LinuxProcPlatform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <numeric>

#include <QFile>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LinuxProc {

namespace {

// Splits `text` at runs of blanks; calls `field(index, token)` until it returns false.
template <typename Field> void forEachField(QByteArrayView text, Field field) {
    qsizetype i = 0;
    int index = 0;
    const qsizetype end = text.size();
    while (i < end) {
        while (i < end && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= end)
            break;
        const qsizetype start = i;
        while (i < end && text[i] != ' ' && text[i] != '\t' && text[i] != '\n')
            ++i;
        if (!field(index++, text.sliced(start, i - start)))
            return;
        if (i < end && text[i] == '\n')
            break;
    }
}

template <typename Number> std::optional<Number> toNumber(QByteArrayView token, int base = 10) {
    Number value{};
    const char* end = token.data() + token.size();
    const auto [next, error] = std::from_chars(token.data(), end, value, base);
    if (error != std::errc() || next != end)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<Stat> parseStat(QByteArrayView text) {
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    Stat stat;
    stat.name = QString::fromUtf8(text.sliced(open + 1, close - open - 1));

    // Field numbers as in proc(5): 3 is the state, right after the name.
    bool complete = false;
    bool valid = true;
    quint64 utime = 0;
    forEachField(text.sliced(close + 1), [&](int index, QByteArrayView token) {
        const int number = index + 3;
        auto read = [&](auto& target) {
            const auto value = toNumber<std::remove_reference_t<decltype(target)>>(token);
            if (value)
                target = *value;
            else
                valid = false;
        };
        switch (number) {
        case 4:
            read(stat.ppid);
            break;
        case 9:
            read(stat.flags);
            break;
        case 14:
            read(utime);
            break;
        case 15:
            read(stat.cpuTicks);
            break;
        case 22:
            read(stat.startTicks);
            break;
        case 24: {
            // Negative only in theory; treat as unreadable.
            const auto pages = toNumber<qint64>(token);
            if (pages && *pages >= 0)
                stat.residentPages = static_cast<quint64>(*pages);
            else
                valid = false;
            complete = true;
            return false;
        }
        default:
            break;
        }
        return valid;
    });
    if (!complete || !valid)
        return std::nullopt;
    stat.cpuTicks += utime;
    return stat;
}

std::optional<qint64> parseBootTime(QByteArrayView text) {
    qsizetype position = 0;
    while (position < text.size()) {
        qsizetype end = text.indexOf('\n', position);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = text.sliced(position, end - position);
        if (line.startsWith("btime ")) {
            const auto value = toNumber<qint64>(line.sliced(6).trimmed());
            if (value && *value > 0)
                return value;
            return std::nullopt;
        }
        position = end + 1;
    }
    return std::nullopt;
}

QStringList parseCommandLine(QByteArrayView bytes) {
    QStringList result;
    qsizetype position = 0;
    const qsizetype end = bytes.size();
    while (position < end) {
        qsizetype nul = bytes.indexOf('\0', position);
        if (nul < 0)
            nul = end;
        result.append(QString::fromUtf8(bytes.sliced(position, nul - position)));
        position = nul + 1;
    }
    return result;
}

quint64 parseSocketLink(QByteArrayView link) {
    if (!link.startsWith("socket:[") || !link.endsWith(']'))
        return 0;
    return toNumber<quint64>(link.sliced(8, link.size() - 9)).value_or(0);
}

std::vector<ListeningSocket> parseNetTcp(QByteArrayView text) {
    std::vector<ListeningSocket> sockets;
    qsizetype position = text.indexOf('\n'); // skip the header line
    if (position < 0)
        return sockets;
    ++position;
    while (position < text.size()) {
        qsizetype end = text.indexOf('\n', position);
        if (end < 0)
            end = text.size();
        std::optional<int> port;
        bool listening = false;
        std::optional<Uid> uid;
        std::optional<quint64> inode;
        forEachField(text.sliced(position, end - position), [&](int index, QByteArrayView token) {
            if (index == 1) {
                const qsizetype colon = token.lastIndexOf(':');
                if (colon >= 0)
                    port = toNumber<int>(token.sliced(colon + 1), 16);
            } else if (index == 3) {
                listening = token == "0A"; // TCP_LISTEN
            } else if (index == 7) {
                uid = toNumber<Uid>(token);
            } else if (index == 9) {
                inode = toNumber<quint64>(token);
            }
            return index < 9;
        });
        if (listening && port && *port >= 0 && *port <= 65535 && inode && *inode != 0)
            sockets.push_back(ListeningSocket{*inode, *port, uid});
        position = end + 1;
    }
    return sockets;
}

QString executableFromLink(QByteArrayView link) {
    constexpr QByteArrayView deleted = " (deleted)";
    if (link.endsWith(deleted))
        link.chop(deleted.size());
    return QString::fromUtf8(link);
}

std::optional<QString> parseCgroup(QByteArrayView text) {
    static const QRegularExpression named(QStringLiteral("^\\d+:name=systemd:(.*)$|^0::(.*)$"),
                                          QRegularExpression::MultilineOption);
    std::optional<QString> unified;
    for (const QRegularExpressionMatch& match : named.globalMatch(QString::fromUtf8(text))) {
        if (match.hasCaptured(1))
            return match.captured(1);
        unified = match.captured(2);
    }
    return unified;
}

} // namespace LinuxProc

namespace {

// Reads a whole /proc file that the kernel fills in one read (cmdline) into
// `buffer`, doubling the buffer while it fills up, up to `most` bytes; returns
// the bytes read or -1.
qsizetype readGrowing(const char* path, QByteArray& buffer, qsizetype most) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (buffer.size() < 4096)
        buffer.resize(4096);
    qsizetype total = 0;
    for (;;) {
        if (total == buffer.size()) {
            if (buffer.size() >= most)
                break;
            buffer.resize(std::min(buffer.size() * 2, most));
        }
        const ssize_t count =
            read(fd, buffer.data() + total, static_cast<size_t>(buffer.size() - total));
        if (count < 0) {
            total = total > 0 ? total : -1;
            break;
        }
        if (count == 0)
            break;
        total += count;
        // The kernel hands out all it has up to the size asked for, so a
        // short read is the end; the read that would return 0 is saved.
        if (total < buffer.size())
            break;
    }
    ::close(fd);
    return total;
}

std::optional<QString> readExecutableLink(const char* path) {
    char link[4096];
    const ssize_t length = readlink(path, link, sizeof link);
    if (length <= 0)
        return std::nullopt;
    return LinuxProc::executableFromLink(QByteArrayView(link, length));
}

// Calls `entry(name)` for each entry of the open directory `fd` except "." and "..".
template <typename Entry> void forEachEntry(int fd, Entry entry) {
    alignas(dirent64) char buffer[8192];
    for (;;) {
        const ssize_t count = getdents64(fd, buffer, sizeof buffer);
        if (count <= 0)
            return;
        for (ssize_t offset = 0; offset < count;) {
            const auto* record = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += record->d_reclen;
            const char* name = record->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (!entry(name))
                return;
        }
    }
}

std::optional<qint32> numericName(const char* name) {
    qint32 value = 0;
    const char* end = name + std::strlen(name);
    const auto [next, error] = std::from_chars(name, end, value);
    if (error != std::errc() || next != end || name == end)
        return std::nullopt;
    return value;
}

bool readWholeFile(const QString& path, QByteArray& contents) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    contents = file.readAll();
    return true;
}

} // namespace

LinuxProcPlatform::LinuxProcPlatform() : LinuxProcPlatform(Options{}) {}

LinuxProcPlatform::LinuxProcPlatform(Options options)
    : m_root(QFile::encodeName(options.procRoot)), m_useNetlink(options.useNetlink),
      m_readsCgroups(options.readsCgroups) {
    QByteArray stat;
    if (readWholeFile(options.procRoot + QStringLiteral("/stat"), stat))
        m_bootTime = LinuxProc::parseBootTime(stat).value_or(0);
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks > 0)
        m_ticksPerSecond = ticks;
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
        m_pageSize = static_cast<quint64>(page);
    // Asks for the stack limit each time: read once.
    const long most = sysconf(_SC_ARG_MAX);
    m_argumentAreaMax = most > 0 ? static_cast<qsizetype>(most) : -1;
}

Uid LinuxProcPlatform::currentUid() const {
    return getuid();
}

std::vector<Pid> LinuxProcPlatform::listPids() const {
    std::vector<Pid> pids;
    const int fd = ::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return pids;
    forEachEntry(fd, [&](const char* name) {
        if (const auto pid = numericName(name))
            pids.push_back(*pid);
        return true;
    });
    ::close(fd);
    return pids;
}

// The handle holds the process's open stat file: a pass on a quiet machine
// reads that file and little else, and every other file is reached by its
// path, which costs one call where the directory would cost three.
bool LinuxProcPlatform::filePath(Pid pid, const char* name, char (&path)[4200]) const {
    const int length = std::snprintf(path, sizeof path, "%s/%d/%s", m_root.constData(), pid, name);
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

std::optional<ProcHandle> LinuxProcPlatform::open(Pid pid) const {
    char path[4200];
    if (!filePath(pid, "stat", path))
        return std::nullopt;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    return ProcHandle{pid, fd};
}

void LinuxProcPlatform::close(ProcHandle& handle) const {
    if (handle.fd >= 0)
        ::close(handle.fd);
    handle.fd = -1;
}

std::optional<ProcStatus> LinuxProcPlatform::status(const ProcHandle& handle) const {
    char buffer[2048];
    const ssize_t length = pread(handle.fd, buffer, sizeof buffer, 0);
    if (length <= 0)
        return std::nullopt;
    const std::optional<LinuxProc::Stat> stat =
        LinuxProc::parseStat(QByteArrayView(buffer, length));
    // Kernel threads have no program, arguments or memory of their own.
    if (!stat || (stat->flags & LinuxProc::kernelThreadFlag) != 0)
        return std::nullopt;
    // Every file under /proc/PID belongs to the process's effective user
    // (root for a process that made itself non-dumpable).
    struct stat info {};
    if (fstat(handle.fd, &info) != 0)
        return std::nullopt;

    ProcStatus status;
    status.basics.ppid = stat->ppid;
    status.basics.uid = info.st_uid;
    status.basics.name = stat->name;
    // Boot time plus the start in ticks: the same value on every read.
    if (m_bootTime > 0) {
        status.basics.start =
            static_cast<double>(m_bootTime) +
            static_cast<double>(stat->startTicks) / static_cast<double>(m_ticksPerSecond);
    }
    status.cpuTicks = stat->cpuTicks;
    // Memory: the resident set (anonymous, file-backed and shared pages) from
    // the stat line just read. The closest Linux figure to a physical
    // footprint would leave out clean file-backed pages (statm's resident -
    // shared), but that costs a second file read per process and pass, some
    // 70% on top of the stat read; the resident set comes free.
    const quint64 pages = stat->residentPages;
    status.memory = pages * m_pageSize;
    return status;
}

std::optional<QString> LinuxProcPlatform::executablePath(const ProcHandle& handle) const {
    char path[4200];
    if (!filePath(handle.pid, "exe", path))
        return std::nullopt;
    return readExecutableLink(path);
}

qsizetype LinuxProcPlatform::argumentAreaMax() const {
    return m_argumentAreaMax;
}

QStringList LinuxProcPlatform::arguments(const ProcHandle& handle, QByteArray& buffer) const {
    char path[4200];
    if (!filePath(handle.pid, "cmdline", path))
        return {};
    const qsizetype length =
        readGrowing(path, buffer, std::max<qsizetype>(argumentAreaMax(), 262144));
    if (length <= 0)
        return {};
    return LinuxProc::parseCommandLine(QByteArrayView(buffer.constData(), length));
}

std::optional<QString> LinuxProcPlatform::workingDirectory(const ProcHandle& handle) const {
    char path[4200];
    if (!filePath(handle.pid, "cwd", path))
        return std::nullopt;
    char link[4096];
    const ssize_t length = readlink(path, link, sizeof link);
    if (length <= 0)
        return std::nullopt;
    return QString::fromUtf8(link, length);
}

std::optional<QString> LinuxProcPlatform::cgroup(const ProcHandle& handle) const {
    if (!m_readsCgroups)
        return std::nullopt;
    char path[4200];
    QByteArray buffer;
    const qsizetype length =
        filePath(handle.pid, "cgroup", path) ? readGrowing(path, buffer, 65536) : -1;
    return length <= 0 ? std::nullopt
                       : LinuxProc::parseCgroup(QByteArrayView(buffer.constData(), length));
}

Timebase LinuxProcPlatform::timebase() const {
    const auto ticks = static_cast<quint64>(m_ticksPerSecond);
    const quint64 divisor = std::gcd(quint64{1'000'000'000}, ticks);
    return Timebase{1'000'000'000 / divisor, ticks / divisor};
}

bool LinuxProcPlatform::listeningSockets(std::vector<ListeningSocket>& sockets) const {
    if (m_useNetlink && netlinkListeningSockets(sockets))
        return true;
    return procListeningSockets(sockets);
}

bool LinuxProcPlatform::netlinkListeningSockets(std::vector<ListeningSocket>& sockets) const {
    sockets.clear();
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    // The kernel answers at once; the time-out only guards against a stuck reply.
    const timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    bool ok = true;
    alignas(nlmsghdr) char buffer[32768];
    for (const quint8 family : {quint8{AF_INET}, quint8{AF_INET6}}) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = family;
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = IPPROTO_TCP;
        message.request.idiag_states = 1u << TCP_LISTEN;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel),
                   sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
            ok = false;
            break;
        }
        bool done = false;
        while (ok && !done) {
            const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
            if (received <= 0) {
                ok = false;
                break;
            }
            int remaining = static_cast<int>(received);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_seq != family)
                    continue;
                if (header->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    ok = false;
                    break;
                }
                if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                    header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    continue;
                const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                if (socketInfo->idiag_state != TCP_LISTEN || socketInfo->idiag_inode == 0)
                    continue;
                sockets.push_back(ListeningSocket{socketInfo->idiag_inode,
                                                  ntohs(socketInfo->id.idiag_sport),
                                                  Uid{socketInfo->idiag_uid}});
            }
        }
        if (!ok)
            break;
    }
    ::close(fd);
    if (!ok)
        sockets.clear();
    return ok;
}

bool LinuxProcPlatform::procListeningSockets(std::vector<ListeningSocket>& sockets) const {
    sockets.clear();
    const QString root = QFile::decodeName(m_root);
    bool any = false;
    QByteArray contents;
    for (const char* name : {"/net/tcp", "/net/tcp6"}) {
        if (!readWholeFile(root + QLatin1String(name), contents))
            continue;
        any = true;
        const std::vector<ListeningSocket> found = LinuxProc::parseNetTcp(contents);
        sockets.insert(sockets.end(), found.begin(), found.end());
    }
    return any;
}

qsizetype LinuxProcPlatform::descriptors(Pid pid, std::span<DescriptorRecord> buffer) const {
    char path[4200];
    if (!filePath(pid, "fd", path))
        return -1;
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t count = 0;
    bool readable = true;
    forEachEntry(fd, [&](const char* name) {
        if (count == buffer.size())
            return false;
        const std::optional<qint32> number = numericName(name);
        if (!number)
            return true;
        // Socket links read "socket:[inode]"; longer targets are no sockets.
        char link[64];
        const ssize_t linkLength = readlinkat(fd, name, link, sizeof link);
        // A process whose table may be listed but whose links may not be read
        // (another user's, or one that forbids it) refuses every link alike.
        if (linkLength < 0 && (errno == EACCES || errno == EPERM)) {
            readable = false;
            return false;
        }
        const quint64 socket =
            linkLength > 0 ? LinuxProc::parseSocketLink(QByteArrayView(link, linkLength)) : 0;
        buffer[count++] = DescriptorRecord{*number, socket};
        return true;
    });
    ::close(fd);
    return readable ? static_cast<qsizetype>(count) : -1;
}

std::optional<quint64> LinuxProcPlatform::descriptorSocket(Pid pid, qint32 fd) const {
    char name[32];
    std::snprintf(name, sizeof name, "fd/%d", fd);
    char path[4200];
    if (!filePath(pid, name, path))
        return std::nullopt;
    char link[64];
    const ssize_t linkLength = readlink(path, link, sizeof link);
    if (linkLength <= 0)
        return std::nullopt;
    return LinuxProc::parseSocketLink(QByteArrayView(link, linkLength));
}

namespace ProcReader {

const ProcPlatform& systemPlatform() {
    static const LinuxProcPlatform platform;
    return platform;
}

} // namespace ProcReader
