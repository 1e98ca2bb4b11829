#include "inventory/Explanations.h"

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include <QLocale>

#include <gtest/gtest.h>

namespace {

using Explanations::explain;

std::string show(const std::optional<QString>& text) {
    return text ? text->toStdString() : std::string("(none)");
}

class EnglishLocale : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

// ---- The table --------------------------------------------------------------

struct ExpectedRow {
    QStringList keys;
    const char* explanation;
};

// The table as it must read, in order.
const std::vector<ExpectedRow>& expectedTable() {
    static const std::vector<ExpectedRow> rows = {
        {{"redis"},
         "Redis in-memory database. Dev cache/queue; safe to stop when no project needs it."},
        {{"mariadb", "mysqld", "mysql"},
         "MySQL/MariaDB database server. Needed only while a project uses it."},
        {{"postgres", "postmaster"},
         "PostgreSQL database server. Needed only while a project uses it."},
        {{"mongod"}, "MongoDB database server. Needed only while a project uses it."},
        {{"adb"}, "Android Debug Bridge server. Started by Android tools; restarts on demand."},
        {{"language-server", "language_server", "analysis_server"},
         "Dart/Flutter language server for an editor or agent. Stops when its parent ends."},
        {{"flutter_tools", "flutter"}, "Flutter tool process (run, build or daemon)."},
        {{"vite"}, "Vite dev server for a web project."},
        {{"next-server", "next dev"}, "Next.js dev server for a web project."},
        {{"expo", "metro"}, "Expo / Metro bundler for a React Native project."},
        {{"cli-proxy-api", "cliproxyapi"},
         "CLI Proxy API: local proxy that serves AI CLI accounts over HTTP."},
        {{"tailscale"}, "Tailscale VPN. Keeps this Mac on your tailnet."},
        {{"logirightsight", "rightsight"},
         "Logitech RightSight: auto-framing for Logitech cameras."},
        {{"clearvpn"}, "ClearVPN background monitor (MacPaw)."},
        {{"googleupdater", "keystone"},
         "Google updater. Checks for Chrome and other Google app updates."},
        {{"raycast"}, "Raycast launcher."},
        {{"maccy"}, "Maccy clipboard history."},
        {{"launchd_sim"},
         "iOS Simulator runtime. A booted simulator; quit Simulator or run "
         "`xcrun simctl shutdown all`."},
        {{"com.docker", "docker"}, "Docker Desktop and its VM."},
        {{"orbstack"}, "OrbStack: Docker/Linux VM runtime."},
        {{"ollama"}, "Ollama local LLM server."},
        {{"codex"}, "OpenAI Codex CLI or its app-server daemon."},
        {{"claude.app"}, "Claude desktop app and its helpers."},
        {{"claude"}, "Claude app or a Claude Code session."},
        {{"google chrome"}, "Chrome browser: one process per tab and extension."},
        {{"node"}, "Node.js process: often a dev server, MCP server or build tool."},
        {{"python"}, "Python process: script, server or tool."},
        {{"java", "gradle"}, "Java process: often the Gradle daemon or an Android/JetBrains tool."},
        {{"ssh-agent"}, "SSH agent. Holds unlocked SSH keys for this login session."},
        {{"ibtoold"},
         "Xcode Interface Builder helper, often left running after builds. Safe to stop."},
        {{"gitstatusd"},
         "Git status helper for the zsh prompt (powerlevel10k). One per open shell; ends with it."},
        {{"sleep"}, "Sleep command: waits and does nothing."},
    };
    return rows;
}

QString rowText(int row) {
    return QString::fromUtf8(expectedTable().at(std::size_t(row - 1)).explanation);
}

TEST(KnownProcesses, TableHoldsTheRowsInOrder) {
    const QList<KnownProcess>& table = Explanations::knownProcesses();
    ASSERT_EQ(std::size_t(table.size()), expectedTable().size());
    for (std::size_t i = 0; i < expectedTable().size(); ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(table[qsizetype(i)].matchKeys, expectedTable()[i].keys);
        EXPECT_EQ(table[qsizetype(i)].explanation,
                  QString::fromUtf8(expectedTable()[i].explanation));
    }
}

TEST(KnownProcesses, EveryKeyReachesItsOwnRowAsNameLabelOrPath) {
    for (std::size_t i = 0; i < expectedTable().size(); ++i) {
        const QString expected = QString::fromUtf8(expectedTable()[i].explanation);
        for (const QString& key : expectedTable()[i].keys) {
            SCOPED_TRACE(key.toStdString());
            EXPECT_EQ(explain(std::nullopt, key, QString()), expected);
            EXPECT_EQ(explain(key, QString(), QString()), expected);
            EXPECT_EQ(explain(std::nullopt, QString(), QStringLiteral("/opt/x/") + key), expected);
            EXPECT_EQ(explain(std::nullopt, key.toUpper(), QString()), expected);
        }
    }
}

struct LookupCase {
    const char* what;
    std::optional<QString> label;
    QString name;
    QString path;
    int row; // 1-based table row, 0 for no match
};

class ExplainLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ExplainLookup, FindsTheFirstMatchingRow) {
    const LookupCase& c = GetParam();
    const std::optional<QString> result = explain(c.label, c.name, c.path);
    const std::optional<QString> expected =
        c.row == 0 ? std::nullopt : std::optional<QString>(rowText(c.row));
    EXPECT_EQ(show(result), show(expected)) << c.what;
}

const QString none;

INSTANTIATE_TEST_SUITE_P(
    Rules, ExplainLookup,
    ::testing::Values(
        LookupCase{"brew label and path", QStringLiteral("homebrew.mxcl.redis"),
                   QStringLiteral("redis-server"),
                   QStringLiteral("/opt/homebrew/opt/redis/bin/redis-server"), 1},
        LookupCase{"short key is not found inside a longer word", std::nullopt,
                   QStringLiteral("mysqlx"), QStringLiteral("/usr/local/bin/mysqlx"), 0},
        LookupCase{"long key is found inside a longer word", std::nullopt, QStringLiteral("pg_ctl"),
                   QStringLiteral("/opt/homebrew/opt/postgresql@16/bin/pg_ctl"), 3},
        LookupCase{"long key inside a token", std::nullopt, QStringLiteral("mysqld_safe"), none, 2},
        LookupCase{"adb is not badblocks", std::nullopt, QStringLiteral("badblocks"), none, 0},
        LookupCase{"adb as a path component", std::nullopt, QStringLiteral("adb"),
                   QStringLiteral("/Users/me/Library/Android/sdk/platform-tools/adb"), 5},
        LookupCase{"hyphen separates tokens", std::nullopt, QStringLiteral("my-adb-tool"), none, 5},
        LookupCase{"underscore joins tokens", std::nullopt, QStringLiteral("adb_helper"), none, 0},
        LookupCase{"dot separates tokens", std::nullopt, QStringLiteral("run.vite.js"), none, 8},
        LookupCase{"digits belong to the token", std::nullopt, QStringLiteral("vite2"), none, 0},
        LookupCase{"non-Latin letters belong to the token", std::nullopt, QStringLiteral("ädb"),
                   none, 0},
        LookupCase{"non-Latin digits belong to the token", std::nullopt,
                   QString::fromUtf8("adb\u0661"), none, 0},
        LookupCase{"superscript digits separate", std::nullopt, QString::fromUtf8("adb\u00b2"),
                   none, 5},
        LookupCase{"a letter outside the basic plane belongs to the token", std::nullopt,
                   QString::fromUtf8("\U0001D400adb"), none, 0},
        LookupCase{"a symbol outside the basic plane separates", std::nullopt,
                   QString::fromUtf8("\U0001F600adb"), none, 5},
        LookupCase{"middle dot separates", std::nullopt, QString::fromUtf8("café·redis"), none, 1},
        LookupCase{
            "docker inside an app bundle path", std::nullopt, QStringLiteral("com.docker.backend"),
            QStringLiteral("/Applications/Docker.app/Contents/MacOS/com.docker.backend"), 19},
        LookupCase{"two words in sequence", std::nullopt, QStringLiteral("node"),
                   QStringLiteral("/opt/homebrew/bin/node next dev"), 9},
        LookupCase{"two words apart are two tokens", std::nullopt, QStringLiteral("node"),
                   QStringLiteral("/opt/homebrew/bin/node next  dev"), 26},
        LookupCase{"earlier row wins: node inside Claude.app", std::nullopt, QStringLiteral("node"),
                   QStringLiteral("/Applications/Claude.app/Contents/Resources/node"), 23},
        LookupCase{"plain node", std::nullopt, QStringLiteral("node"),
                   QStringLiteral("/opt/homebrew/bin/node"), 26},
        LookupCase{"earlier row wins: redis before node", QStringLiteral("com.example.cache"),
                   QStringLiteral("node"), QStringLiteral("/srv/redis/node"), 1},
        LookupCase{"earlier row wins: codex before claude", std::nullopt, QStringLiteral("codex"),
                   QStringLiteral("/Users/me/claude/codex"), 22},
        LookupCase{"python with a version", std::nullopt, QStringLiteral("python3.12"), none, 27},
        LookupCase{"java is not javascript", std::nullopt, QStringLiteral("javascript"), none, 0},
        LookupCase{"sleep is not sleepwatcher", std::nullopt, QStringLiteral("sleepwatcher"), none,
                   0},
        LookupCase{"codex as a token", std::nullopt, QStringLiteral("codex-cli"), none, 22},
        LookupCase{"codex is not codexbar", std::nullopt, QStringLiteral("codexbar"), none, 0},
        LookupCase{"chrome with its blank", std::nullopt, QStringLiteral("Google Chrome Helper"),
                   none, 25},
        LookupCase{"label only", QStringLiteral("com.tailscale.ipnextension"), none, none, 12},
        LookupCase{"a word split across name and path does not match", std::nullopt,
                   QStringLiteral("red"), QStringLiteral("is"), 0},
        LookupCase{"nothing at all", std::nullopt, none, none, 0},
        LookupCase{"ruby has no row", std::nullopt, QStringLiteral("ruby"),
                   QStringLiteral("/Users/me/bin/ruby"), 0}));

// ---- The cache --------------------------------------------------------------

TEST(ExplanationCache, HitsAndMissesAreCached) {
    Explanations::clearExplanationCache();
    EXPECT_EQ(explain(std::nullopt, QStringLiteral("redis-server"), none), rowText(1));
    EXPECT_EQ(explain(std::nullopt, QStringLiteral("redis-server"), none), rowText(1));
    EXPECT_EQ(Explanations::explanationCacheSize(), 1);
    EXPECT_EQ(explain(std::nullopt, QStringLiteral("ruby"), none), std::nullopt);
    EXPECT_EQ(explain(std::nullopt, QStringLiteral("ruby"), none), std::nullopt);
    EXPECT_EQ(Explanations::explanationCacheSize(), 2);
    // The key is lowercased: a different spelling of the same thing is one entry.
    EXPECT_EQ(explain(std::nullopt, QStringLiteral("RUBY"), none), std::nullopt);
    EXPECT_EQ(Explanations::explanationCacheSize(), 2);
}

TEST(ExplanationCache, StartsOverAfterMoreThan4000EntriesWithTheSameResults) {
    Explanations::clearExplanationCache();
    const auto lookup = [](int i) {
        return explain(std::nullopt, QStringLiteral("worker-%1").arg(i),
                       i % 2 ? QStringLiteral("/opt/homebrew/bin/node") : QStringLiteral("/tmp/x"));
    };
    for (int i = 0; i < 4001; ++i)
        lookup(i);
    EXPECT_EQ(Explanations::explanationCacheSize(), 4001);
    // A cached lookup does not insert, so it does not reset either.
    EXPECT_EQ(lookup(7), rowText(26));
    EXPECT_EQ(Explanations::explanationCacheSize(), 4001);

    EXPECT_EQ(lookup(4001), rowText(26));
    EXPECT_EQ(Explanations::explanationCacheSize(), 1);
    EXPECT_EQ(lookup(7), rowText(26));
    EXPECT_EQ(lookup(8), std::nullopt);
    EXPECT_EQ(Explanations::explanationCacheSize(), 3);
}

TEST(ExplanationCache, ConcurrentCallersAgreeWithTheTable) {
    Explanations::clearExplanationCache();
    // A mix of repeated keys (hits), known keys and fresh keys that push the
    // cache through several resets while other threads read it.
    const auto caseFor = [](int thread, int i) -> std::pair<QString, std::optional<QString>> {
        switch (i % 4) {
        case 0:
            return {QStringLiteral("redis-server"), rowText(1)};
        case 1:
            return {QStringLiteral("tool-%1-%2").arg(thread).arg(i), std::nullopt};
        case 2:
            return {QStringLiteral("node-%1-%2").arg(thread).arg(i), rowText(26)};
        default:
            return {QStringLiteral("badblocks"), std::nullopt};
        }
    };
    constexpr int threads = 8;
    constexpr int lookups = 3000;
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < lookups; ++i) {
                const auto [name, expected] = caseFor(t, i);
                if (explain(std::nullopt, name, QString()) != expected)
                    ++wrong;
                if (Explanations::explanationCacheSize() > 4001)
                    ++wrong;
            }
        });
    }
    go = true;
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(Explanations::explanationCacheSize(), 4001);
}

// ---- Describing texts -------------------------------------------------------

struct LocationCase {
    QString path;
    QString expected;
};

TEST(LocationText, FirstRuleThatAppliesWins) {
    const QString home = QStringLiteral("/Users/me");
    const std::vector<LocationCase> cases = {
        {QString(), QStringLiteral("unknown location")},
        {QStringLiteral("/Volumes/Backup/Apps/Tool.app/Contents/MacOS/Tool"),
         QStringLiteral("external volume Backup")},
        {QStringLiteral("/Volumes/My Disk/bin/x"), QStringLiteral("external volume My Disk")},
        {QStringLiteral("/opt/homebrew/opt/redis/bin/redis-server"), QStringLiteral("Homebrew")},
        {QStringLiteral("/usr/local/Cellar/node/20/bin/node"), QStringLiteral("Homebrew")},
        {QStringLiteral("/usr/local/opt/postgresql/bin/postgres"), QStringLiteral("Homebrew")},
        {QStringLiteral("/usr/local/bin/thing"), QStringLiteral("macOS")},
        {QStringLiteral("/Users/me/.local/bin/tool"), QStringLiteral("~/.local")},
        {QStringLiteral("/Applications/Slack.app"), QStringLiteral("Applications")},
        {QStringLiteral("/Users/me/Applications/Tool.app"), QStringLiteral("Applications")},
        {QStringLiteral("/Users/me/Projects/site/server"), QStringLiteral("home folder")},
        {QStringLiteral("/Users/me/.localized/x"), QStringLiteral("home folder")},
        {QStringLiteral("/Users/me"), QStringLiteral("home folder")},
        {QStringLiteral("/System/Library/CoreServices/Finder"), QStringLiteral("macOS")},
        {QStringLiteral("/usr/libexec/thing"), QStringLiteral("macOS")},
        {QStringLiteral("/bin/sleep"), QStringLiteral("macOS")},
        {QStringLiteral("/sbin/launchd"), QStringLiteral("macOS")},
        {QStringLiteral("/Library/Application Support/Vendor/agent"), QStringLiteral("/Library")},
        {QStringLiteral("/private/tmp/build/run"), QStringLiteral("/private/tmp/build")},
        {QStringLiteral("/srv/"), QStringLiteral("/")},
        {QStringLiteral("/daemon"), QStringLiteral("/")},
        // Another user whose name starts with ours does not live in our home.
        {QStringLiteral("/Users/meg/bin/tool"), QStringLiteral("/Users/meg/bin")},
        {QStringLiteral("tool"), QStringLiteral("unknown location")},
    };
    for (const LocationCase& c : cases) {
        EXPECT_EQ(Explanations::locationText(c.path, home), c.expected) << c.path.toStdString();
        EXPECT_EQ(Explanations::locationText(c.path, home + u'/'), c.expected)
            << c.path.toStdString();
    }
}

TEST(LocationText, NoHomeMeansNoHomeRules) {
    for (const QString& home : {QString(), QStringLiteral("/")}) {
        EXPECT_EQ(Explanations::locationText(QStringLiteral("/srv/app/run"), home),
                  QStringLiteral("/srv/app"));
        EXPECT_EQ(Explanations::locationText(QStringLiteral("/Applications/A.app"), home),
                  QStringLiteral("Applications"));
    }
}

LaunchJob job(std::optional<qint64> interval, bool calendar, bool atLoad, bool keepAlive) {
    LaunchJob result;
    result.label = QStringLiteral("com.example.job");
    result.startInterval = interval;
    result.hasCalendarInterval = calendar;
    result.runAtLoad = atLoad;
    result.keepAlive = keepAlive;
    return result;
}

class ScheduleText : public EnglishLocale {};

TEST_F(ScheduleText, EveryFormAndTheirCombinations) {
    struct Case {
        LaunchJob job;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {job(std::nullopt, false, false, false), "On demand"},
        {job(3600, false, true, false), "Every 1h · At login"},
        {job(5400, false, false, false), "Every 1h 30m"},
        {job(90061, false, false, false), "Every 1d 1h 1m 1s"},
        {job(86405, false, false, false), "Every 1d 5s"},
        {job(45, false, false, false), "Every 45s"},
        {job(300, false, false, false), "Every 5m"},
        {job(864000000, false, false, false), "Every 10,000d"},
        {job(0, false, false, false), "Every 0s"},
        {job(-30, false, false, false), "Every 0s"},
        {job(std::nullopt, true, false, false), "On a calendar schedule"},
        {job(std::nullopt, false, true, false), "At login"},
        {job(std::nullopt, false, false, true), "Kept alive"},
        {job(std::nullopt, false, true, true), "At login · Kept alive"},
        {job(60, true, true, true), "Every 1m · On a calendar schedule · At login · Kept alive"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Explanations::scheduleText(c.job).toStdString(), c.expected);
}

TEST(ProcessCountText, CountsProcesses) {
    EXPECT_EQ(Explanations::processCountText(3), QStringLiteral("3 processes"));
    EXPECT_EQ(Explanations::processCountText(12), QStringLiteral("12 processes"));
}

TEST(UptimeText, Boundaries) {
    const Timestamp now = 1'800'000'000.25;
    const std::vector<std::pair<double, const char*>> cases = {
        {0, "0 s"},      {0.9, "0 s"},   {59, "59 s"},           {59.99, "59 s"},
        {60, "1 min"},   {119, "1 min"}, {3599, "59 min"},       {3600, "1 h"},
        {86399, "23 h"}, {86400, "1 d"}, {86400 * 400, "400 d"},
    };
    for (const auto& [elapsed, expected] : cases) {
        const std::optional<QString> text = Explanations::uptimeText(now - elapsed, now);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->toStdString(), expected) << elapsed;
    }
}

TEST(UptimeText, OddInputs) {
    EXPECT_EQ(Explanations::uptimeText(std::nullopt, 100), std::nullopt);
    // A start in the future (clock change) reads as just started.
    EXPECT_EQ(Explanations::uptimeText(200, 100), QStringLiteral("0 s"));
    EXPECT_EQ(Explanations::uptimeText(std::numeric_limits<double>::quiet_NaN(), 100),
              QStringLiteral("0 s"));
    EXPECT_TRUE(Explanations::uptimeText(-1e300, 1e300)->endsWith(QStringLiteral(" d")));
}

class MemoryText : public EnglishLocale {};

TEST_F(MemoryText, UnitBoundaries) {
    constexpr quint64 KB = 1024;
    constexpr quint64 MB = KB * KB;
    constexpr quint64 GB = MB * KB;
    constexpr quint64 TB = GB * KB;
    constexpr quint64 PB = TB * KB;
    constexpr quint64 EB = PB * KB;
    const std::vector<std::pair<quint64, const char*>> cases = {
        {0, "—"},
        {2, "2 bytes"},
        {1023, "1023 bytes"},
        {KB, "1 KB"},
        {KB + 511, "1 KB"},
        {KB + 512, "2 KB"},
        {1000 * KB, "1,000 KB"},
        {MB - 513, "1,023 KB"},
        {MB - 1, "1 MB"},
        {MB, "1 MB"},
        {MB + MB / 2, "1.5 MB"},
        {MB * 123 / 10, "12.3 MB"},
        {MB * 512, "512 MB"},
        {GB - 1, "1 GB"},
        {GB, "1 GB"},
        {GB + GB / 4, "1.25 GB"},
        {GB * 16, "16 GB"},
        {TB * 3, "3 TB"},
        {PB, "1 PB"},
        {EB, "1 EB"},
        {std::numeric_limits<quint64>::max(), "16 EB"},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(Explanations::memoryText(bytes).toStdString(), expected) << bytes;
}

TEST_F(MemoryText, FollowsTheLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(Explanations::memoryText(1024 * 1024 * 3 / 2), QStringLiteral("1,5 MB"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(Explanations::memoryText(1024 * 1024 * 3 / 2), QStringLiteral("1.5 MB"));
}

} // namespace
