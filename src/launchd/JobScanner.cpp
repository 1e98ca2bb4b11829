#include "launchd/JobScanner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/FileNames.h"
#include "os/HostRules.h"
#include "os/UserHome.h"

namespace JobScanner {

namespace {

// Real definitions are a few kilobytes; anything far larger is not one.
constexpr qsizetype maxDefinitionSize = 1 << 20;

struct Location {
    QString folder;
    LaunchJob::Domain domain;
    bool parked;
};

std::array<Location, 4> locationsOf(const JobFolders& folders) {
    return {{
        {folders.userAgents(), LaunchJob::Domain::userAgent, false},
        {folders.parking(), LaunchJob::Domain::userAgent, true},
        {folders.globalAgents, LaunchJob::Domain::globalAgent, false},
        {folders.globalDaemons, LaunchJob::Domain::globalDaemon, false},
    }};
}

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The one call whose signature differs between libplist releases: 2.2 takes
// three arguments and returns nothing; later ones add a format out-parameter
// and return an error code.
PlistPtr plistFromMemory(const char* data, uint32_t length) {
    plist_t root = nullptr;
    plist_from_memory(data, length, &root);
    return PlistPtr(root);
}

// libplist builds its tree recursively and copies every shared object of a
// binary list once per reference, so a small hostile file can exhaust the
// stack (deep nesting) or memory (a chain of arrays that each reference the
// next one twice). These limits are far above anything a job definition
// needs; input past them is not a definition.
constexpr int maxXmlContainers = 2048;
constexpr std::size_t maxBinaryDepth = 256;
constexpr quint64 maxBinaryNodes = 1 << 18;

bool isXmlNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':';
}

// Counts every opening array and dictionary tag, wherever it appears (comments
// included), which bounds the nesting from above whatever the parser skips.
bool xmlWithinLimits(QByteArrayView bytes) {
    int containers = 0;
    for (qsizetype at = bytes.indexOf('<'); at >= 0; at = bytes.indexOf('<', at + 1)) {
        const QByteArrayView rest = bytes.sliced(at + 1);
        qsizetype nameSize = 0;
        if (rest.startsWith("array"))
            nameSize = 5;
        else if (rest.startsWith("dict"))
            nameSize = 4;
        else
            continue;
        if (rest.size() > nameSize && isXmlNameChar(rest[nameSize]))
            continue;
        const qsizetype end = rest.indexOf('>');
        if (end > 0 && rest[end - 1] == '/')
            continue;
        if (++containers > maxXmlContainers)
            return false;
    }
    return true;
}

// A big-endian unsigned number of `width` bytes at `at`, when it lies inside.
std::optional<quint64> readBigEndian(QByteArrayView bytes, quint64 at, quint64 width) {
    const auto size = static_cast<quint64>(bytes.size());
    if (width == 0 || width > 8 || at > size || width > size - at)
        return std::nullopt;
    quint64 value = 0;
    for (quint64 i = 0; i < width; ++i)
        value = (value << 8) | static_cast<uchar>(bytes[static_cast<qsizetype>(at + i)]);
    return value;
}

// Walks the object graph of a binary list from its root without recursion and
// checks its depth and the number of nodes the parser would build. Anything
// inconsistent fails the check.
class BinaryShape {
public:
    explicit BinaryShape(QByteArrayView bytes) : bytes_(bytes) {}

    bool withinLimits() {
        constexpr quint64 headerSize = 8;
        constexpr quint64 trailerSize = 32;
        const auto size = static_cast<quint64>(bytes_.size());
        if (size < headerSize + trailerSize)
            return false;
        trailer_ = size - trailerSize;
        offsetSize_ = static_cast<uchar>(bytes_[static_cast<qsizetype>(trailer_ + 6)]);
        refSize_ = static_cast<uchar>(bytes_[static_cast<qsizetype>(trailer_ + 7)]);
        const auto count = readBigEndian(bytes_, trailer_ + 8, 8);
        const auto root = readBigEndian(bytes_, trailer_ + 16, 8);
        const auto table = readBigEndian(bytes_, trailer_ + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || !count || !root ||
            !table || *count == 0 || *root >= *count || *table > trailer_ ||
            *count > (trailer_ - *table) / offsetSize_)
            return false;
        count_ = *count;
        table_ = *table;
        state_.assign(count_, State::unseen);
        nodes_.assign(count_, 0);
        return walk(*root);
    }

private:
    enum class State : uchar { unseen, open, done };

    struct Children {
        quint64 first = 0; // where the first reference starts
        quint64 count = 0;
    };

    struct Frame {
        quint64 index;
        Children children;
        quint64 next = 0;
        quint64 nodes = 1;
    };

    std::optional<Children> childrenOf(quint64 index) const {
        const auto offset = readBigEndian(bytes_, table_ + index * offsetSize_, offsetSize_);
        if (!offset || *offset < 8 || *offset >= trailer_)
            return std::nullopt;
        const auto marker = static_cast<uchar>(bytes_[static_cast<qsizetype>(*offset)]);
        const uchar type = marker >> 4;
        // Arrays, sets and dictionaries hold references; the rest are leaves.
        if (type < 0xA || type > 0xD)
            return Children{};
        quint64 count = marker & 0x0F;
        quint64 at = *offset + 1;
        if (count == 0x0F) {
            if (at >= trailer_)
                return std::nullopt;
            const auto intMarker = static_cast<uchar>(bytes_[static_cast<qsizetype>(at)]);
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3)
                return std::nullopt;
            const quint64 width = quint64(1) << (intMarker & 0x0F);
            const auto value = readBigEndian(bytes_, at + 1, width);
            if (!value)
                return std::nullopt;
            count = *value;
            at += 1 + width;
        }
        if (type == 0xD) {
            if (count > std::numeric_limits<quint64>::max() / 2)
                return std::nullopt;
            count *= 2; // keys, then values
        }
        if (at > trailer_ || count > (trailer_ - at) / refSize_)
            return std::nullopt;
        return Children{at, count};
    }

    bool open(quint64 index) {
        if (state_[index] == State::open) // a cycle
            return false;
        const auto children = childrenOf(index);
        if (!children || stack_.size() >= maxBinaryDepth)
            return false;
        state_[index] = State::open;
        stack_.push_back(Frame{index, *children});
        return true;
    }

    bool add(Frame& frame, quint64 nodes) {
        frame.nodes += nodes;
        return frame.nodes <= maxBinaryNodes;
    }

    bool walk(quint64 root) {
        if (!open(root))
            return false;
        while (!stack_.empty()) {
            Frame& frame = stack_.back();
            if (frame.next < frame.children.count) {
                const auto child =
                    readBigEndian(bytes_, frame.children.first + frame.next * refSize_, refSize_);
                ++frame.next;
                if (!child || *child >= count_)
                    return false;
                if (state_[*child] == State::done) {
                    if (!add(frame, nodes_[*child]))
                        return false;
                } else if (!open(*child)) {
                    return false;
                }
                continue;
            }
            const Frame finished = frame;
            stack_.pop_back();
            state_[finished.index] = State::done;
            nodes_[finished.index] = finished.nodes;
            if (!stack_.empty() && !add(stack_.back(), finished.nodes))
                return false;
        }
        return true;
    }

    QByteArrayView bytes_;
    quint64 trailer_ = 0;
    quint64 table_ = 0;
    quint64 count_ = 0;
    quint64 offsetSize_ = 0;
    quint64 refSize_ = 0;
    std::vector<State> state_;
    std::vector<quint64> nodes_;
    std::vector<Frame> stack_;
};

bool withinParserLimits(QByteArrayView bytes) {
    // The same test the library uses to tell the encodings apart.
    if (bytes.startsWith("bplist00"))
        return BinaryShape(bytes).withinLimits();
    return xmlWithinLimits(bytes);
}

std::optional<QString> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr)
        return QString();
    if (length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()))
        return std::nullopt;
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

std::optional<bool> boolValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN)
        return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

std::optional<qint64> integerValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    // Negative numbers are stored in two's complement.
    return static_cast<qint64>(value);
}

// Every element when all are strings; empty otherwise.
QStringList stringList(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY)
        return {};
    QStringList list;
    const uint32_t size = plist_array_get_size(node);
    for (uint32_t i = 0; i < size; ++i) {
        const auto text = stringValue(plist_array_get_item(node, i));
        if (!text)
            return {};
        list.append(*text);
    }
    return list;
}

bool keepAliveValue(plist_t node) {
    if (node == nullptr)
        return false;
    if (plist_get_node_type(node) == PLIST_DICT)
        return true;
    return boolValue(node).value_or(false);
}

bool hasPlistExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && QStringView(name).sliced(dot + 1) == u"plist";
}

// Closes a descriptor when it goes out of scope.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool isReadableDefinition(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_size >= 0 && info.st_size <= maxDefinitionSize;
}

// The whole file, or nothing when it is not a regular file (a FIFO or device
// would block or never end), is too large or cannot be read. A symbolic link to
// a regular file counts as that file.
std::optional<QByteArray> readDefinition(const QString& path) {
    const QByteArray native = FileNames::encode(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0 || !isReadableDefinition(info))
        return std::nullopt;
    const FileDescriptor file{
        ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0)
        return std::nullopt;
    // The name may have been replaced between the two looks.
    if (::fstat(file.fd, &info) != 0 || !isReadableDefinition(info))
        return std::nullopt;
    // Room for the size the file has now and one byte more, which tells a file
    // that is still growing; it may grow up to one byte past the limit.
    QByteArray bytes(static_cast<qsizetype>(info.st_size) + 1, Qt::Uninitialized);
    qsizetype total = 0;
    while (true) {
        if (total == bytes.size()) {
            if (total > maxDefinitionSize)
                break;
            bytes.resize(std::min(total * 2, maxDefinitionSize + 1));
        }
        const ssize_t got =
            ::read(file.fd, bytes.data() + total, static_cast<size_t>(bytes.size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        total += got;
    }
    if (total > maxDefinitionSize)
        return std::nullopt;
    bytes.truncate(total);
    return bytes;
}

} // namespace

JobFolders JobFolders::standard() {
    JobFolders folders;
    folders.home = UserHome::path();
    const QString library = qEnvironmentVariable("QUILLMARSH_LIBRARY_DIR");
    if (!library.isEmpty()) {
        folders.globalAgents = library + QStringLiteral("/LaunchAgents");
        folders.globalDaemons = library + QStringLiteral("/LaunchDaemons");
    }
    return folders;
}

QString JobFolders::userAgents() const {
    return home + QStringLiteral("/Library/LaunchAgents");
}

QString JobFolders::parking() const {
    return userAgents() + QStringLiteral("/Disabled");
}

QList<LaunchJob> scanJobs(const JobFolders& folders) {
    QList<LaunchJob> jobs;
    for (const Location& location : locationsOf(folders)) {
        // Without a known home the user's folders would land under "/".
        if (folders.home.isEmpty() && location.domain == LaunchJob::Domain::userAgent)
            continue;
        for (const QString& name : FileNames::listFolder(location.folder)) {
            if (!hasPlistExtension(name))
                continue;
            const QString path = location.folder + u'/' + name;
            const auto bytes = readDefinition(path);
            if (!bytes)
                continue;
            auto job = parseJob(*bytes, path, location.domain);
            if (!job)
                continue;
            job->isParkedByQuillmarsh = location.parked;
            jobs.append(std::move(*job));
        }
    }
    return jobs;
}

QList<std::optional<Timestamp>> folderStamps(const JobFolders& folders) {
    QList<std::optional<Timestamp>> stamps;
    for (const Location& location : locationsOf(folders)) {
        struct stat info {};
        if (::stat(FileNames::encode(location.folder).constData(), &info) != 0) {
            stamps.append(std::nullopt);
            continue;
        }
        stamps.append(static_cast<Timestamp>(info.st_mtim.tv_sec) +
                      static_cast<Timestamp>(info.st_mtim.tv_nsec / 1000000) / 1000.0);
    }
    return stamps;
}

std::optional<LaunchJob> parseJob(QByteArrayView bytes, const QString& path,
                                  LaunchJob::Domain domain) {
    // Editors on other systems may leave a byte-order mark, which the XML
    // reader does not accept.
    static constexpr char bom[] = "\xEF\xBB\xBF";
    if (bytes.startsWith(QByteArrayView(bom, 3)))
        bytes = bytes.sliced(3);
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max() ||
        !withinParserLimits(bytes))
        return std::nullopt;
    // The reader scans text with C string functions; a terminated copy keeps
    // it inside the buffer whatever the view it was given.
    const QByteArray terminated = bytes.toByteArray();
    const PlistPtr root =
        plistFromMemory(terminated.constData(), static_cast<uint32_t>(terminated.size()));
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    const auto item = [&](const char* key) { return plist_dict_get_item(root.get(), key); };
    const auto label = stringValue(item("Label"));
    if (!label)
        return std::nullopt;

    LaunchJob job;
    job.label = *label;
    job.plistPath = path;
    job.domain = domain;
    job.program = stringValue(item("Program"));
    job.arguments = stringList(item("ProgramArguments"));
    job.runAtLoad = boolValue(item("RunAtLoad")).value_or(false);
    job.keepAlive = keepAliveValue(item("KeepAlive"));
    job.startInterval = integerValue(item("StartInterval"));
    job.hasCalendarInterval = item("StartCalendarInterval") != nullptr;
    job.disabledInPlist = boolValue(item("Disabled")).value_or(false);
    return job;
}

std::optional<QString> scriptPath(const LaunchJob& job) {
    QString executable;
    if (job.program)
        executable = *job.program;
    else if (!job.arguments.isEmpty())
        executable = job.arguments.first();
    else
        return std::nullopt;
    while (executable.size() > 1 && executable.endsWith(u'/'))
        executable.chop(1);
    const QString name = executable.sliced(executable.lastIndexOf(u'/') + 1);
    if (!Hosts::isInterpreter(Hosts::current(), name))
        return std::nullopt;
    QStringList candidates;
    for (qsizetype i = 1; i < job.arguments.size(); ++i) {
        if (!job.arguments[i].startsWith(u'-'))
            candidates.append(job.arguments[i]);
    }
    const qsizetype wanted = name == u"env" ? 1 : 0;
    if (candidates.size() <= wanted)
        return std::nullopt;
    return candidates[wanted];
}

} // namespace JobScanner
