#include "inventory/Explanations.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QLocale>
#include <QStringView>

namespace Explanations {

namespace {

// Keys shorter than this must equal a whole token; longer ones may appear
// anywhere in the lookup key.
constexpr qsizetype wholeTokenKeyLength = 6;

// The cache is emptied before an insert once it holds more entries than this,
// which keeps it flat when arguments change on every refresh.
constexpr qsizetype cacheLimit = 4000;

constexpr qsizetype noMatch = -1;

// Lookup key to the matching row of the table (or noMatch). Row numbers
// rather than texts keep the entries small. The only state in this file that
// outlives a call; every access holds `mutex`, and matching never does.
struct ExplanationCache {
    std::mutex mutex;
    QHash<QString, qsizetype> rows;
};

ExplanationCache& cache() {
    static ExplanationCache instance;
    return instance;
}

QString explanationText(const char* source) {
    return QCoreApplication::translate("Explanations", source);
}

QList<KnownProcess> buildTable() {
    // The texts are marked here and translated when the table is built.
    struct Row {
        std::initializer_list<const char*> keys;
        const char* explanation;
    };
    const std::initializer_list<Row> rows = {
        {{"redis"},
         QT_TRANSLATE_NOOP("Explanations", "Redis in-memory database. Dev cache/queue; safe to "
                                           "stop when no project needs it.")},
        {{"mariadb", "mysqld", "mysql"},
         QT_TRANSLATE_NOOP("Explanations",
                           "MySQL/MariaDB database server. Needed only while a project uses it.")},
        {{"postgres", "postmaster"},
         QT_TRANSLATE_NOOP("Explanations",
                           "PostgreSQL database server. Needed only while a project uses it.")},
        {{"mongod"},
         QT_TRANSLATE_NOOP("Explanations",
                           "MongoDB database server. Needed only while a project uses it.")},
        {{"adb"},
         QT_TRANSLATE_NOOP("Explanations",
                           "Android Debug Bridge server. Started by Android tools; restarts on "
                           "demand.")},
        {{"language-server", "language_server", "analysis_server"},
         QT_TRANSLATE_NOOP("Explanations", "Dart/Flutter language server for an editor or agent. "
                                           "Stops when its parent ends.")},
        {{"flutter_tools", "flutter"},
         QT_TRANSLATE_NOOP("Explanations", "Flutter tool process (run, build or daemon).")},
        {{"vite"}, QT_TRANSLATE_NOOP("Explanations", "Vite dev server for a web project.")},
        {{"next-server", "next dev"},
         QT_TRANSLATE_NOOP("Explanations", "Next.js dev server for a web project.")},
        {{"expo", "metro"},
         QT_TRANSLATE_NOOP("Explanations", "Expo / Metro bundler for a React Native project.")},
        {{"cli-proxy-api", "cliproxyapi"},
         QT_TRANSLATE_NOOP("Explanations",
                           "CLI Proxy API: local proxy that serves AI CLI accounts over HTTP.")},
        {{"tailscale"},
         QT_TRANSLATE_NOOP("Explanations", "Tailscale VPN. Keeps this %1 on your tailnet.")},
        {{"logirightsight", "rightsight"},
         QT_TRANSLATE_NOOP("Explanations",
                           "Logitech RightSight: auto-framing for Logitech cameras.")},
        {{"clearvpn"}, QT_TRANSLATE_NOOP("Explanations", "ClearVPN background monitor (MacPaw).")},
        {{"googleupdater", "keystone"},
         QT_TRANSLATE_NOOP("Explanations",
                           "Google updater. Checks for Chrome and other Google app updates.")},
        {{"raycast"}, QT_TRANSLATE_NOOP("Explanations", "Raycast launcher.")},
        {{"maccy"}, QT_TRANSLATE_NOOP("Explanations", "Maccy clipboard history.")},
        {{"launchd_sim"},
         QT_TRANSLATE_NOOP("Explanations", "iOS Simulator runtime. A booted simulator; quit "
                                           "Simulator or run `xcrun simctl shutdown all`.")},
        {{"com.docker", "docker"}, QT_TRANSLATE_NOOP("Explanations", "Docker Desktop and its VM.")},
        {{"orbstack"}, QT_TRANSLATE_NOOP("Explanations", "OrbStack: Docker/Linux VM runtime.")},
        {{"ollama"}, QT_TRANSLATE_NOOP("Explanations", "Ollama local LLM server.")},
        {{"codex"},
         QT_TRANSLATE_NOOP("Explanations", "OpenAI Codex CLI or its app-server daemon.")},
        {{"claude.app"}, QT_TRANSLATE_NOOP("Explanations", "Claude desktop app and its helpers.")},
        {{"claude"}, QT_TRANSLATE_NOOP("Explanations", "Claude app or a Claude Code session.")},
        {{"google chrome"},
         QT_TRANSLATE_NOOP("Explanations", "Chrome browser: one process per tab and extension.")},
        {{"node"},
         QT_TRANSLATE_NOOP("Explanations",
                           "Node.js process: often a dev server, MCP server or build tool.")},
        {{"python"}, QT_TRANSLATE_NOOP("Explanations", "Python process: script, server or tool.")},
        {{"java", "gradle"},
         QT_TRANSLATE_NOOP("Explanations",
                           "Java process: often the Gradle daemon or an Android/JetBrains tool.")},
        {{"ssh-agent"},
         QT_TRANSLATE_NOOP("Explanations",
                           "SSH agent. Holds unlocked SSH keys for this login session.")},
        {{"ibtoold"},
         QT_TRANSLATE_NOOP("Explanations", "Xcode Interface Builder helper, often left running "
                                           "after builds. Safe to stop.")},
        {{"gitstatusd"},
         QT_TRANSLATE_NOOP("Explanations", "Git status helper for the zsh prompt (powerlevel10k). "
                                           "One per open shell; ends with it.")},
        {{"sleep"}, QT_TRANSLATE_NOOP("Explanations", "Sleep command: waits and does nothing.")},
    };

    QList<KnownProcess> table;
    table.reserve(qsizetype(rows.size()));
    for (const Row& row : rows) {
        KnownProcess known;
        for (const char* key : row.keys)
            known.matchKeys.append(QString::fromLatin1(key));
        known.explanation = explanationText(row.explanation);
        if (known.explanation.contains(u"%1"))
            known.explanation = known.explanation.arg(Hosts::current().words.thisComputer);
        table.append(std::move(known));
    }
    return table;
}

bool isWordCharacter(char32_t codePoint) {
    return codePoint == U'_' || QChar::isLetter(codePoint) || QChar::isDigit(codePoint);
}

// Maximal runs of letters, digits and "_"; everything else separates.
QList<QStringView> tokens(QStringView text) {
    QList<QStringView> result;
    qsizetype start = -1;
    qsizetype i = 0;
    while (i < text.size()) {
        char32_t codePoint = text[i].unicode();
        qsizetype width = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(text[i], text[i + 1]);
            width = 2;
        }
        if (isWordCharacter(codePoint)) {
            if (start < 0)
                start = i;
        } else if (start >= 0) {
            result.append(text.mid(start, i - start));
            start = -1;
        }
        i += width;
    }
    if (start >= 0)
        result.append(text.mid(start));
    return result;
}

qsizetype matchingRow(const QString& key) {
    const QList<QStringView> words = tokens(key);
    const QList<KnownProcess>& table = knownProcesses();
    for (qsizetype row = 0; row < table.size(); ++row) {
        for (const QString& matchKey : table[row].matchKeys) {
            const bool matches = matchKey.size() < wholeTokenKeyLength
                                     ? words.contains(QStringView(matchKey))
                                     : key.contains(matchKey);
            if (matches)
                return row;
        }
    }
    return noMatch;
}

std::optional<QString> rowText(qsizetype row) {
    if (row == noMatch)
        return std::nullopt;
    return knownProcesses().at(row).explanation;
}

int clampedCount(qint64 value) {
    return int(std::clamp<qint64>(value, 0, std::numeric_limits<int>::max()));
}

// The home folder without a trailing slash; empty when there is none worth
// comparing against (an unset home reads as "/", which every path is under).
QString usableHome(const QString& home) {
    QString folder = home;
    while (folder.endsWith(u'/'))
        folder.chop(1);
    return folder;
}

// `path` is `folder` itself or lies inside it.
bool isUnder(const QString& path, const QString& folder) {
    return path.size() == folder.size() ? path == folder
                                        : path.startsWith(folder) && path[folder.size()] == u'/';
}

bool startsWithAny(const QString& path, std::initializer_list<QStringView> prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](QStringView prefix) { return path.startsWith(prefix); });
}

// Seconds as days, hours, minutes and seconds in narrow units, zero units
// left out ("1h 30m", "2d 5s"); no units at all reads "0s".
QString durationText(qint64 seconds) {
    const QLocale locale;
    seconds = std::max<qint64>(seconds, 0);
    const qint64 values[] = {seconds / 86400, seconds % 86400 / 3600, seconds % 3600 / 60,
                             seconds % 60};
    //: Narrow duration units: days, hours, minutes, seconds
    static const std::array<const char*, 4> units = {
        QT_TRANSLATE_NOOP("Explanations", "%1d"), QT_TRANSLATE_NOOP("Explanations", "%1h"),
        QT_TRANSLATE_NOOP("Explanations", "%1m"), QT_TRANSLATE_NOOP("Explanations", "%1s")};
    QStringList parts;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (values[i] != 0)
            parts.append(QCoreApplication::translate("Explanations", units[i])
                             .arg(locale.toString(values[i])));
    }
    if (parts.isEmpty())
        return QCoreApplication::translate("Explanations", units.back()).arg(locale.toString(0));
    return parts.join(u' ');
}

} // namespace

const QList<KnownProcess>& knownProcesses() {
    static const QList<KnownProcess> table = buildTable();
    return table;
}

std::optional<QString> explain(const std::optional<QString>& label, const QString& name,
                               const QString& path) {
    const QString key = (label.value_or(QString()) + u' ' + name + u' ' + path).toLower();
    ExplanationCache& shared = cache();
    {
        const std::lock_guard lock(shared.mutex);
        const auto found = shared.rows.constFind(key);
        if (found != shared.rows.cend())
            return rowText(found.value());
    }

    const qsizetype row = matchingRow(key);

    {
        const std::lock_guard lock(shared.mutex);
        if (shared.rows.size() > cacheLimit)
            shared.rows.clear();
        shared.rows.insert(key, row);
    }
    return rowText(row);
}

qsizetype explanationCacheSize() {
    ExplanationCache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    return shared.rows.size();
}

void clearExplanationCache() {
    ExplanationCache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    shared.rows.clear();
}

QString locationText(const QString& path, const HostRules& rules) {
    return locationText(path, QDir::homePath(), rules);
}

QString locationText(const QString& path, const QString& home, const HostRules& rules) {
    if (path.isEmpty())
        return QCoreApplication::translate("Explanations", "unknown location");

    static constexpr QStringView volumes = u"/Volumes/";
    if (path.startsWith(volumes)) {
        const QString volume = path.mid(volumes.size()).section(u'/', 0, 0);
        //: %1 is the name of a mounted volume
        return QCoreApplication::translate("Explanations", "external volume %1").arg(volume);
    }

    if (startsWithAny(path, {u"/opt/homebrew", u"/usr/local/Cellar", u"/usr/local/opt",
                             u"/home/linuxbrew/.linuxbrew/"}))
        return QStringLiteral("Homebrew");
    if (path.startsWith(u"/snap/"))
        return QStringLiteral("Snap");

    const QString homeFolder = usableHome(home);
    const bool hasHome = !homeFolder.isEmpty();
    if (path.startsWith(u"/var/lib/flatpak/") ||
        (hasHome && isUnder(path, homeFolder + QStringLiteral("/.local/share/flatpak"))))
        return QStringLiteral("Flatpak");
    if (hasHome && isUnder(path, homeFolder + QStringLiteral("/.local")))
        return QStringLiteral("~/.local");
    if (path.startsWith(u"/Applications/") ||
        (hasHome && path.startsWith(homeFolder + QStringLiteral("/Applications/"))))
        return QCoreApplication::translate("Explanations", "Applications");
    if (hasHome && isUnder(path, homeFolder))
        return QCoreApplication::translate("Explanations", "home folder");

    if (std::any_of(rules.systemLocationPrefixes.cbegin(), rules.systemLocationPrefixes.cend(),
                    [&](const QString& prefix) { return path.startsWith(prefix); }))
        return rules.words.systemName;
    if (path.startsWith(u"/Library/"))
        return QStringLiteral("/Library");

    // Anything else reads as the folder it lies in.
    QString folder = path;
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    const qsizetype slash = folder.lastIndexOf(u'/');
    if (slash < 0)
        return QCoreApplication::translate("Explanations", "unknown location");
    return slash == 0 ? QStringLiteral("/") : folder.left(slash);
}

QString scheduleText(const LaunchJob& job) {
    QStringList parts;
    if (job.startInterval) {
        //: %1 is a duration such as 1h 30m
        parts.append(QCoreApplication::translate("Explanations", "Every %1")
                         .arg(durationText(*job.startInterval)));
    }
    if (job.hasCalendarInterval)
        parts.append(QCoreApplication::translate("Explanations", "On a calendar schedule"));
    if (job.runAtLoad)
        parts.append(QCoreApplication::translate("Explanations", "At login"));
    if (job.keepAlive)
        parts.append(QCoreApplication::translate("Explanations", "Kept alive"));
    if (parts.isEmpty())
        parts.append(QCoreApplication::translate("Explanations", "On demand"));
    return parts.join(QStringLiteral(" · "));
}

QString sessionJobText(const SessionJob& job, const HostRules& rules) {
    QString kind = SessionJobs::kindText(job.kind);
    if (!kind.isEmpty() && !SessionJobs::isUnit(job))
        kind[0] = kind[0].toUpper();
    if (job.command.isEmpty())
        return kind;
    //: Two descriptions of one item side by side
    return QCoreApplication::translate("Explanations", "%1 · %2")
        .arg(kind, locationText(job.command.first(), rules));
}

QString processCountText(qsizetype count) {
    return QCoreApplication::translate("Explanations", "%n processes", nullptr,
                                       clampedCount(count));
}

std::optional<QString> uptimeText(std::optional<Timestamp> start, Timestamp now) {
    if (!start)
        return std::nullopt;
    const double elapsed = std::floor(now - *start);
    qint64 seconds = 0;
    if (elapsed >= double(std::numeric_limits<qint64>::max()))
        seconds = std::numeric_limits<qint64>::max();
    else if (elapsed > 0) // also false for NaN
        seconds = qint64(elapsed);

    if (seconds < 60)
        return QCoreApplication::translate("Explanations", "%n s", nullptr, clampedCount(seconds));
    if (seconds < 3600)
        return QCoreApplication::translate("Explanations", "%n min", nullptr,
                                           clampedCount(seconds / 60));
    if (seconds < 86400)
        return QCoreApplication::translate("Explanations", "%n h", nullptr,
                                           clampedCount(seconds / 3600));
    return QCoreApplication::translate("Explanations", "%n d", nullptr,
                                       clampedCount(seconds / 86400));
}

// Memory in the platform's memory style: 1024-based units from bytes up to
// EB, the unit chosen by size, kilobytes whole, megabytes with one decimal,
// larger units with two, trailing zeros dropped ("1 KB", "1.5 MB", "2 GB",
// "1.25 GB"), and a value that rounds up to 1024 of a unit shown as 1 of the
// next (1 MB - 1 byte reads "1 MB", not "1,024 KB").
//
// QLocale::formattedDataSize is not used: it keeps a fixed number of decimals
// in every unit ("1.00 kB"), never carries a rounded value into the next unit
// ("1,024.00 kB"), spells the unit "kB" in its traditional format, and its
// "bytes" is not a plural form a translation can correct. The number is
// formatted here with QLocale's shortest round-trip form of the rounded value,
// so digit grouping and the decimal sign follow the default locale.
QString memoryText(quint64 bytes) {
    if (bytes == 0)
        return QStringLiteral("—");
    if (bytes < 1024)
        return QCoreApplication::translate("Explanations", "%n bytes", nullptr, int(bytes));

    static const std::array<const char*, 6> units = {
        QT_TRANSLATE_NOOP("Explanations", "%1 KB"), QT_TRANSLATE_NOOP("Explanations", "%1 MB"),
        QT_TRANSLATE_NOOP("Explanations", "%1 GB"), QT_TRANSLATE_NOOP("Explanations", "%1 TB"),
        QT_TRANSLATE_NOOP("Explanations", "%1 PB"), QT_TRANSLATE_NOOP("Explanations", "%1 EB")};

    std::size_t unit = 0; // index into units: KB
    double value = double(bytes) / 1024.0;
    while (value >= 1024.0 && unit + 1 < units.size()) {
        value /= 1024.0;
        ++unit;
    }
    const auto decimals = [](std::size_t index) { return index == 0 ? 0 : index == 1 ? 1 : 2; };
    const auto rounded = [](double number, int places) {
        const double scale = std::pow(10.0, places);
        return std::round(number * scale) / scale;
    };
    double shown = rounded(value, decimals(unit));
    if (shown >= 1024.0 && unit + 1 < units.size()) {
        ++unit;
        shown = rounded(value / 1024.0, decimals(unit));
    }
    return QCoreApplication::translate("Explanations", units[unit])
        .arg(QLocale().toString(shown, 'f', QLocale::FloatingPointShortest));
}

} // namespace Explanations
