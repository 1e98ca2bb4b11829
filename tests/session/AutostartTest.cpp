// Catches: user/system precedence, folder order or TryExec/desktop/type filters
// misapplied, a hiding file losing the system title, a FIFO hanging the scan,
// Exec= and escapes misread, edits the stamp misses; hiding that changes more than
// one line of one user file or a system file or link, unhiding that loses a byte.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "os/FileNames.h"
#include "session/AutostartOverride.h"
#include "session/AutostartScanner.h"
#include "support/Printers.h"
#include "support/TempHome.h"

namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;

std::string native(const QString& path) {
    return FileNames::encode(path).toStdString();
}

// A temporary home holding the XDG_CONFIG_DIRS folders; names that are not UTF-8 go too.
struct Home : TempHome {
    Home() { qputenv("XDG_CONFIG_DIRS", FileNames::encode(path() + "/a:" + path() + "/b")); }
    ~Home() {
        qunsetenv("XDG_CONFIG_DIRS");
        fs::remove_all(native(path()));
    }
    void write(const QByteArray& relative, const QByteArray& bytes) const {
        const fs::path file = native(path() + '/' + FileNames::decode(relative));
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes.toStdString();
    }
    // Every file, folder and link below the home: its mode and bytes.
    Files snapshot() const {
        Files files;
        for (const auto& file : fs::recursive_directory_iterator(native(path()))) {
            std::ifstream in(fs::is_regular_file(file.symlink_status()) ? file.path() : fs::path());
            files[file.path()] = std::to_string(int(file.symlink_status().permissions())) + ' ' +
                                 std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    }
};

TEST(AutostartScanner, EntriesInEffectAsTheSessionStartsThem) {
    const Home home;
    const AutostartScanner::Folders folders = AutostartScanner::Folders::standard();
    const std::pair<const char*, QByteArray> files[] = {
        {".config/autostart/over", "[Desktop Entry]\nName=Mine\nExec=mine\nType=Application\n"},
        {"a/autostart/over", "[Desktop Entry]\nName=A\nExec=a\n"},
        {"b/autostart/first", "[Desktop Entry]\nName=B\nExec=b\n"},
        {"a/autostart/first", "[Desktop Entry]\nName=A\nExec=a\nPath=/opt\nTryExec=sh\n"},
        {".config/autostart/o", "[Desktop Entry]\nHidden=true\n"},
        {"a/autostart/o", "[Desktop Entry]\nName=S\nExec=\"/a b\" \"c \\\\\"d\\\\\"\" %U x=%f 1%%"},
        {"a/autostart/g", "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nOnlyShowIn=X;GNOME"},
        {"a/autostart/kde", "[Desktop Entry]\nOnlyShowIn=KDE;\n"},
        {"a/autostart/not", "[Desktop Entry]\nNotShowIn=XFCE;GNOME\n"},
        {"a/autostart/link", "[Desktop Entry]\nType=Link\n"},
        {"a/autostart/trymissing", "[Desktop Entry]\nTryExec=quillmarsh-no-such-program\n"},
        {"a/autostart/crlf", "[O]\r\nName=no\r\n[Desktop Entry]\r\n# Name=no\r\nName[de]=no\r\n"
                             " Name = \\sT\\tx\\\\ \r\nName=no\r\nExec=x\r\n[M]\r\nPath=/no"},
        {"a/autostart/big", "[Desktop Entry]\nName=" + QByteArray(1 << 20, 'x') + "\n"},
    };
    for (const auto& [path, bytes] : files)
        home.write(QByteArray(path) + ".desktop", bytes);
    ASSERT_EQ(::mkfifo(native(home.path() + "/a/autostart/fifo.desktop").c_str(), 0644), 0);
    const AutostartScanner::Stamp stamp = AutostartScanner::stampOf(folders);
    QStringList jobs;
    for (const SessionJob& job : AutostartScanner::scanEntries(folders, {"ubuntu", "GNOME"})) {
        const QString flags = QString(job.hidden ? "H" : "") + (job.switchedOff ? "S" : "") +
                              (job.startsAtLogin ? "L" : "") + (job.enabledByUser ? "U" : "");
        jobs.append(QStringList{job.name, job.title, job.file, job.systemFile.value_or(""),
                                job.command.join(u','), job.workingDirectory.value_or(""), flags}
                        .join(u'|')
                        .replace(home.path() + '/', "")
                        .replace("/autostart/", ":")
                        .replace(".desktop", ""));
    }
    EXPECT_EQ(jobs, FileNames::decode("crlf| T\tx\\|a:crlf||x||L\n"
                                      "first|A|a:first||a|/opt|L\n"
                                      "g||a:g||||S\n"
                                      "o|S|.config:o|a:o|/a b,c \"d\",x=,1%||H\n"
                                      "over|Mine|.config:over|a:over|mine||LU")
                        .split(u'\n'));
    EXPECT_EQ(AutostartScanner::stampOf(folders), stamp);
    home.write("a/autostart/kde.desktop", "[Desktop Entry]\n");
    EXPECT_NE(AutostartScanner::stampOf(folders), stamp);
}

TEST(AutostartOverride, SwitchingOffAndOnAgainLosesNoByte) {
    const unsigned seed = std::random_device()();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const Home home;
    const AutostartScanner::Folders folders = AutostartScanner::Folders::standard();
    const QByteArrayList pool{"Name=\xC4\xFF", "Exec=a %U",       "# c",      "",
                              "Hidden=false",  " Hidden = false", "Hidden=1", "[O]"};
    const auto randomEntry = [&] {
        QByteArrayList lines{"[Desktop Entry]"};
        for (int line = random() % 8; line > 0; --line)
            lines.insert(random() % (lines.size() + 1), pool[random() % pool.size()]);
        const QByteArray eol = random() % 2 ? "\n" : "\r\n";
        return lines.join(eol) + (random() % 2 ? eol : "");
    };
    const QByteArrayList userFiles{".config/autostart/e0.desktop", ".config/autostart/\xE9.desktop",
                                   ".config/autostart/sys.desktop", "t.desktop"};
    home.write("a/autostart/sys.desktop", "[Desktop Entry]\nX-Under=1\n");
    home.write("a/autostart/s\xFF.desktop", "[Desktop Entry]\nName=S\\s0\\\\ \xFF \nExec=s\n");
    home.makeFolder(".config/autostart");
    fs::create_symlink(native(home.path() + "/t.desktop"), native(folders.user + "/l.desktop"));
    for (int round = 0; round < 200; ++round) {
        home.write(userFiles[random() % userFiles.size()], randomEntry());
        const Files original = home.snapshot();
        const QList<SessionJob> jobs = AutostartScanner::scanEntries(folders, {});
        const qsizetype index = random() % jobs.size();
        ASSERT_EQ(AutostartOverride::hide(jobs[index], folders), std::nullopt);
        Files added;
        std::ranges::set_difference(home.snapshot(), original, std::inserter(added, added.end()));
        ASSERT_EQ(added.size(), 1u);
        const auto& [path, bytes] = *added.begin();
        QByteArrayList lines = QByteArray::fromStdString(bytes).split('\n');
        ASSERT_TRUE(lines.removeOne("Hidden=true")) << bytes;
        EXPECT_TRUE(!original.count(path) || lines.join('\n').toStdString() == original.at(path));
        const SessionJob again = AutostartScanner::scanEntries(folders, {}).value(index);
        ASSERT_TRUE(again.hidden && again.title == jobs[index].title);
        ASSERT_EQ(AutostartOverride::unhide(again, folders), std::nullopt);
        EXPECT_EQ(home.snapshot(), original);
    }
}

} // namespace
