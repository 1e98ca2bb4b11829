// Catches: a system entry winning over the user's file of its name or a later
// system folder over an earlier one, a hiding user file that loses the system
// entry's title and command, entries for other desktops, of other types or with
// a missing TryExec program listed, a FIFO that hangs the scan, Exec= quoting,
// escapes and field codes misread, names that are not UTF-8 lost, an edit the
// stamp misses; switching off and on again that loses or adds a byte of a
// user's file, touches a system file, replaces a link or leaves a file behind.

#include <filesystem>
#include <fstream>
#include <random>

#include <QDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "os/FileNames.h"
#include "session/AutostartOverride.h"
#include "session/AutostartScanner.h"
#include "session/DesktopEntry.h"
#include "support/Printers.h"
#include "support/TempHome.h"

namespace {

using Files = std::map<std::string, QByteArray>;

std::string native(const QString& path) {
    return FileNames::encode(path).toStdString();
}

// A temporary home with XDG_CONFIG_DIRS below it; names that are not UTF-8 go too.
struct Home : TempHome {
    const std::optional<QByteArray> saved = qEnvironmentVariableIsSet("XDG_CONFIG_DIRS")
                                                ? std::optional(qgetenv("XDG_CONFIG_DIRS"))
                                                : std::nullopt;
    explicit Home(const QStringList& system) {
        qputenv("XDG_CONFIG_DIRS",
                FileNames::encode(path() + u'/' + system.join(':' + path() + '/')));
    }
    ~Home() {
        saved ? qputenv("XDG_CONFIG_DIRS", *saved) : qunsetenv("XDG_CONFIG_DIRS");
        std::filesystem::remove_all(native(path()));
    }
    void write(const QString& relative, const QByteArray& bytes) const {
        QDir().mkpath(QFileInfo(path() + '/' + relative).path());
        std::ofstream(native(path() + '/' + relative), std::ios::binary) << bytes.toStdString();
    }
    // Every file below the home, a link as its target.
    Files snapshot() const {
        Files files;
        for (const auto& file : std::filesystem::recursive_directory_iterator(native(path()))) {
            std::ifstream in(file.path(), std::ios::binary);
            if (!file.is_directory())
                files[file.path()] = QByteArray::fromStdString(
                    file.is_symlink() ? "-> " + std::filesystem::read_symlink(file).string()
                                      : std::string(std::istreambuf_iterator<char>(in), {}));
        }
        return files;
    }
};

// `now` is `was` with one line more, Hidden=true.
bool isOneLineMore(const QByteArray& now, const QByteArray& was) {
    if (now.startsWith(was) &&
        QByteArrayList{"\nHidden=true", "\r\nHidden=true"}.contains(now.sliced(was.size())))
        return !was.endsWith('\n');
    QList<QByteArray> lines = now.split('\n');
    const QList<QByteArray> old = was.split('\n');
    qsizetype at = 0;
    while (lines.size() == old.size() + 1 && at < old.size() && lines[at] == old[at])
        ++at;
    return lines.size() == old.size() + 1 &&
           QByteArrayList{"Hidden=true", "Hidden=true\r"}.contains(lines.takeAt(at)) &&
           lines == old;
}

TEST(AutostartScanner, EntriesInEffectAsTheSessionStartsThem) {
    const Home home({"a", "b"});
    const AutostartScanner::Folders folders = AutostartScanner::Folders::standard();
    const std::pair<const char*, QByteArray> files[] = {
        {".config/autostart/over", "[Desktop Entry]\nName=Mine\nExec=mine\n"},
        {"a/autostart/over", "[Desktop Entry]\nName=A\nExec=a\n"},
        {"b/autostart/over", "[Desktop Entry]\nName=B\nExec=b\n"},
        {"b/autostart/first", "[Desktop Entry]\nName=B\nExec=b\n"},
        {"a/autostart/first", "[Desktop Entry]\nName=A\nExec=a\n"},
        {".config/autostart/off", "[Desktop Entry]\nHidden=true\n"},
        {"a/autostart/off", "[Desktop Entry]\nName=Sys\nPath=/opt\nExec=\"/opt/my app/run\" "
                            "--name=\"a \\\\\"b\\\\\" \" %U --x=%f \"%%\" \"\" 100%%\n"},
        {"a/autostart/gnome",
         "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nOnlyShowIn=KDE;GNOME;"},
        {"a/autostart/kde", "[Desktop Entry]\nOnlyShowIn=KDE;\n"},
        {"a/autostart/not", "[Desktop Entry]\nNotShowIn=XFCE;GNOME\n"},
        {"a/autostart/link", "[Desktop Entry]\nType=Link\n"},
        {"a/autostart/try", "[Desktop Entry]\nTryExec=sh\nType=Application\n"},
        {"a/autostart/trymissing", "[Desktop Entry]\nTryExec=quillmarsh-no-such-program\n"},
        {"a/autostart/trynotexecutable", "[Desktop Entry]\nTryExec=/etc/passwd\n"},
        {"a/autostart/crlf",
         "[Other]\r\nName=no\r\n[Desktop Entry]\r\n# Name=no\r\nName[de]=no\r\n"
         " Name = \\sTab\\there\\\\ \r\nName=no\r\nExec=x\r\n[More]\r\nPath=/no"},
        {"a/autostart/big", "[Desktop Entry]\nName=" + QByteArray(1 << 20, 'x') + "\n"},
        {"a/autostart/caf\xE9", "[Desktop Entry]\nName=\xFF\n"},
    };
    for (const auto& [path, bytes] : files)
        home.write(FileNames::decode(path) + ".desktop", bytes);
    ASSERT_EQ(::mkfifo(native(home.path() + "/a/autostart/fifo.desktop").c_str(), 0644), 0);
    QStringList jobs;
    for (const SessionJob& job : AutostartScanner::scanEntries(folders, {"ubuntu", "GNOME"})) {
        const QString flags = QString(job.hidden ? "H" : "") + (job.switchedOff ? "S" : "") +
                              (job.startsAtLogin ? "L" : "") + (job.enabledByUser ? "U" : "");
        jobs.append(QStringList{job.name, job.title, job.file, job.systemFile.value_or(""),
                                job.command.join(u','), job.workingDirectory.value_or(""), flags}
                        .join(u'|')
                        .replace(home.path() + '/', ""));
    }
    EXPECT_EQ(jobs,
              FileNames::decode("caf\xE9.desktop|\xFF|a/autostart/caf\xE9.desktop||||L\n"
                                "crlf.desktop| Tab\there\\|a/autostart/crlf.desktop||x||L\n"
                                "first.desktop|A|a/autostart/first.desktop||a||L\n"
                                "gnome.desktop||a/autostart/gnome.desktop||||S\n"
                                "off.desktop|Sys|.config/autostart/off.desktop|a/autostart/"
                                "off.desktop|/opt/my app/run,--name=a \"b\" ,--x=,%,,100%|/opt|H\n"
                                "over.desktop|Mine|.config/autostart/over.desktop|a/autostart/"
                                "over.desktop|mine||LU\n"
                                "try.desktop||a/autostart/try.desktop||||L")
                  .split(u'\n'));
    const AutostartScanner::Stamp stamp = AutostartScanner::stampOf(folders);
    EXPECT_EQ(AutostartScanner::stampOf(folders), stamp);
    std::ofstream(native(home.path() + "/a/autostart/kde.desktop"), std::ios::app) << "Name=x\n";
    EXPECT_NE(AutostartScanner::stampOf(folders), stamp);
}

TEST(AutostartOverride, SwitchingOffAndOnAgainLosesNoByte) {
    const unsigned seed = std::random_device()();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const Home home({"sys"});
    const AutostartScanner::Folders folders = AutostartScanner::Folders::standard();
    const auto pick = [&](std::initializer_list<const char*> options) {
        return QByteArray(options.begin()[random() % options.size()]);
    };
    const auto randomEntry = [&] {
        const QByteArray eol = pick({"\n", "\r\n"});
        QByteArray text =
            pick({"", "# by hand\n", "[Other]\nHidden=true\n"}) + "[Desktop Entry]" + eol;
        for (int line = random() % 6; line > 0; --line)
            text += pick({"Name=App", "Exec=app %U", "# note", "", "Hidden=false",
                          " Hidden = false", "Name[de]=\xC4pp \xFF"}) +
                    eol;
        text += pick({"", "[Desktop Action new]\nExec=x\n", "[Desktop Action new]\nHidden=true"});
        return random() % 2 && text.endsWith(eol) ? text.chopped(eol.size()) : text;
    };
    for (const char* name : {"e0", "e1", "e2", "e3", "\xE9", "sys"})
        home.write(FileNames::decode(QByteArray(".config/autostart/") + name + ".desktop"),
                   randomEntry());
    home.write("elsewhere/target.desktop", randomEntry());
    home.write("sys/autostart/sys.desktop", "[Desktop Entry]\nX-Under=1\n");
    home.write("sys/autostart/s0.desktop", "[Desktop Entry]\nName=S\\s0\\\\\n");
    home.write(FileNames::decode("sys/autostart/s\xFF.desktop"),
               "[Desktop Entry]\nName=\xFF \nExec=s1\n");
    std::filesystem::create_symlink(native(home.path() + "/elsewhere/target.desktop"),
                                    native(folders.user + "/linked.desktop"));
    const Files originals = home.snapshot();
    for (int round = 0; round < 300; ++round) {
        const QList<SessionJob> jobs = AutostartScanner::scanEntries(folders, {});
        ASSERT_EQ(jobs.size(), 9);
        const SessionJob job = jobs[random() % jobs.size()];
        const std::filesystem::path file = native(folders.user + '/' + job.name);
        const std::string changed = std::filesystem::is_symlink(file)
                                        ? std::filesystem::read_symlink(file).string()
                                        : file.string();
        Files expected = home.snapshot();
        ASSERT_EQ((job.hidden ? AutostartOverride::unhide : AutostartOverride::hide)(job, folders),
                  std::nullopt);
        Files after = home.snapshot();
        const auto now = after.extract(changed), was = expected.extract(changed);
        EXPECT_EQ(after, expected);
        if (job.hidden) {
            EXPECT_EQ(now.empty() ? "absent" : now.mapped(),
                      originals.count(changed) ? originals.at(changed) : "absent");
            continue;
        }
        ASSERT_FALSE(now.empty());
        EXPECT_TRUE(was.empty() || isOneLineMore(now.mapped(), was.mapped()))
            << now.mapped().toStdString();
        const auto entry =
            DesktopEntry::read(FileNames::decode(QByteArray::fromStdString(changed)));
        EXPECT_EQ(entry->values.value("Hidden"), "true");
        EXPECT_EQ(entry->values.value("Name"), job.title);
    }
}

} // namespace
