// Catches: continued lines joined wrongly or cut by comments, command words split unlike the
// service manager, masks, aliases, templates and drop-ins resolved in the wrong order, bytes lost
// from file names, dangling or looping links, missed in-place edits, processes in the wrong unit.

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "os/FileNames.h"
#include "os/LinuxProcPlatform.h"
#include "session/Cgroups.h"
#include "session/UnitFile.h"
#include "session/UnitScanner.h"
#include "support/TempHome.h"

namespace {

TEST(UnitFiles, ParseSplitAndCgroups) {
    QStringList got;
    for (const UnitFile::Assignment& a :
         UnitFile::parse("\xEF\xBB\xBFX=out\n[Service]\r\nExecStart=/bin/a \\\n# note\n  -v\\\n\n"
                         "A = b c \nA=x\\\\\n[broken\nB=1\n[T]\n;c\nC=\xff\nD=end\\"))
        got.append(a.section + u'.' + a.key + u'=' + a.value);
    EXPECT_EQ(got.join(u'|'), "Service.ExecStart=/bin/a    -v|Service.A=b c|Service.A=x\\\\|"
                              "T.C=\uFFFD|T.D=end");
    const std::pair<const char*, const char*> commands[] = {
        {R"(-%h/x "a b" 'c d' mid"dle q"x 100%% %%h %u)", "/home/u/x|a b|c d|middle qx|100%|%h|%u"},
        {R"(@:+!/bin/x argv0 \x41\s\\ a\"b \q)", R"(/bin/x|A \|a"b|\q)"},
        {R"(/bin/x "open)", ""},
    };
    for (const auto& [value, expected] : commands)
        EXPECT_EQ(UnitFile::splitCommand(value, "/home/u").join(u'|'), expected) << value;
    // /proc/PID/cgroup texts (unified, hybrid) -> the autostart entry, else the unit.
    const QByteArray m = "0::/user.slice/user-1000.slice/user@1000.service/";
    const std::pair<QByteArray, const char*> cgroups[] = {
        {m + "app.slice/syncthing.service\n", "syncthing.service"},
        {m + "syncthing.service/payload\n", "syncthing.service"},
        {"9:cpu:/\n1:name=systemd:/user.slice/user@1000.service/a.service\n0::/\n", "a.service"},
        {m + "app.slice/app-nextcloud@autostart.service", "nextcloud.desktop"},
        {m + R"(app-org.caf\xc3\xa9.Foo\x2dBar@autostart.service)", "org.café.Foo-Bar.desktop"},
        {m + "app-foo-bar@autostart.service", "app-foo-bar@autostart.service"},
        {m + "app.slice/app-gnome-x-12.scope\n", "-"},
        {m + "app.slice\n", "-"},
        {"0::/system.slice/cron.service\n", "-"},
    };
    for (const auto& [text, expected] : cgroups) {
        const auto unit = Cgroups::userUnitOf(LinuxProc::parseCgroup(text).value_or(""));
        const auto entry = Cgroups::autostartEntryOf(unit.value_or(""));
        EXPECT_EQ(entry.value_or(unit.value_or("-")), QString::fromUtf8(expected)) << text.data();
    }
}

TEST(UnitScanner, ResolvesUnitsAcrossTheSearchPath) {
    const TempHome home;
    const QByteArray h = FileNames::encode(home.path()), c = h + "/.config/systemd/user/",
                     v = h + "/vend\xe9r/systemd/user/", e = h + "/etc/systemd/user/";
    qputenv("XDG_DATA_DIRS", h + "/vend\xe9r"); // TempHome restores both
    qputenv("XDG_CONFIG_DIRS", h + "/etc");
    QList<UnitScanner::Folder> folders = UnitScanner::standardFolders();
    folders.removeIf([&](const auto& f) { return !f.path.startsWith(home.path()); });

    const std::pair<QByteArray, QByteArray> files[] = {
        {c + "sync.service", "[Service]\nExecStart=%h/s\nWorkingDirectory=-~\n[Install]\n"
                             "WantedBy=a b\nRequiredBy=c\n"},
        {c + "default.target.wants/sync.service", "->../sync.service"},
        {v + "vendor.service", "[Service]\nExecStart=/usr/bin/vendor\n"},
        {e + "default.target.wants/vendor.service", "->" + v + "vendor.service"},
        {v + "agent.service", "[Service]\nExecStart=/usr/bin/agent\n"},
        {c + "default.target.wants/agent.service", "->" + v + "agent.service"},
        {c + "agent.service.d/b.conf", "[Service]\nExecStart=\nExecStart=/opt/agent -d\n"},
        {v + "agent.service.d/b.conf", "[Service]\nExecStart=/usr/bin/hidden\n"},
        {v + "masked.service", "[Service]\nExecStart=/usr/bin/masked\n"},
        {c + "masked.service", "->/dev/null"},
        {e + "default.target.wants/masked.service", "->" + v + "masked.service"},
        {c + "backup.timer", "[Timer]\nOnCalendar=daily\nOnCalendar=Sat\nOnBootSec=5min\n"},
        {v + "worker@.service", "[Service]\nExecStart=/usr/bin/worker %i\n"},
        {c + "default.target.wants/worker@one.service", "->" + v + "worker@.service"},
        {c + "alias.service", "->" + v + "vendor.service"},
        {c + "ghost.service", "->" + h + "/missing"},
        {c + "loop.service", "->loop.service"},
        {c + "caf\xe9.service", "[Service]\nExecStart=/bin/true\n"},
    };
    for (const auto& [path, text] : files) {
        std::filesystem::create_directories(std::filesystem::path(path.data()).parent_path());
        text.startsWith("->") ? std::filesystem::create_symlink(text.sliced(2).data(), path.data())
                              : void(std::ofstream(path.data()) << text.data());
    }
    QStringList got;
    for (const SessionJob& j : UnitScanner::scanUnits(folders))
        got.append(
            QStringLiteral("%1 %2%3%4 %5 %6 %7 %8 %9")
                .arg(j.name, j.owner == SessionJob::Owner::user ? u"u" : u"s",
                     j.startsAtLogin ? u"L" : u"-", j.enabledByUser ? u"U" : u"-", j.file,
                     j.maskFile.value_or("-"), j.command.join(u','), j.dropIns.join(u','),
                     (j.wantedBy + j.onCalendar << j.workingDirectory.value_or("") << j.triggers)
                         .join(u','))
                .replace(FileNames::decode(c), "C/")
                .replace(FileNames::decode(v), "V/")
                .replace(home.path(), "~"));
    EXPECT_EQ(got,
              QStringList({
                  "agent.service sLU V/agent.service - /opt/agent,-d C/agent.service.d/b.conf ,",
                  "backup.timer u-- C/backup.timer -   daily,Sat,,backup.service",
                  "masked.service s-- V/masked.service C/masked.service /usr/bin/masked  ,",
                  "sync.service uLU C/sync.service - ~/s  a,b,c,~,",
                  "vendor.service sL- V/vendor.service - /usr/bin/vendor  ,",
                  "worker@one.service sLU V/worker@.service - /usr/bin/worker,%i  ,",
              }));
    for (const QByteArray& file : {c + "backup.timer", c + "agent.service.d/b.conf"}) {
        const UnitScanner::Stamp before = UnitScanner::stampOf(folders);
        std::ofstream(file.data(), std::ios::app) << "\n";
        EXPECT_NE(UnitScanner::stampOf(folders), before) << file.data();
    }
}

} // namespace
