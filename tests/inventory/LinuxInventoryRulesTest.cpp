// Catches, under the Linux rules: the user's commands hidden as the system's
// (dash, `bash x.sh`, `sh -c`, a nohup adopted by `systemd --user`, desktop apps
// under /usr/lib, commands of root when root is the user) and system daemons
// listed as the user's; terminals and builds not known by process name; an
// ancestry that starts with a fixed name; a relative script named "/"; another
// user's note that always says root.

#include <gtest/gtest.h>

#include "inventory/Explanations.h"
#include "inventory/InventoryBuilder.h"
#include "support/Printers.h"

using namespace Qt::StringLiterals;

namespace {

constexpr Uid user = 1000;

// A desktop of `me` from processes split by ';': "PID PPID UID PATH [ARG...]
// [@FOLDER] [n=NAME]", UID "me" for the current user, PATH "-" when unread.
SampleInput desktop(Uid me, const QString& facts) {
    SampleInput input;
    input.host = Hosts::linuxRules(u"Debian GNU/Linux"_s, 1000);
    input.uid = me;
    input.ownPid = 99999;
    input.includeApple = true;
    for (const QString& fact : facts.split(u';', Qt::SkipEmptyParts)) {
        const QStringList w = fact.split(u' ', Qt::SkipEmptyParts);
        ProcSnapshot p;
        p.pid = w[0].toInt();
        p.ppid = w[1].toInt();
        p.uid = w[2] == u"me"_s ? me : w[2].toUInt();
        p.path = w[3] == u"-"_s ? QString() : w[3];
        p.name = p.path.section(u'/', -1);
        for (const QString& word : w.mid(4)) {
            if (word.startsWith(u'@'))
                p.workingDirectory = word.mid(1);
            else if (word.startsWith(u"n="_s))
                p.name = word.mid(2);
            else
                p.arguments.append(word);
        }
        input.processes[p.pid] = p;
    }
    return input;
}

const QString machine =
    u"1 0 0 /usr/lib/systemd/systemd; 300 1 0 /usr/sbin/cron; 302 300 0 /usr/bin/dash sh -c job;"
    u"310 1 108 /usr/lib/postgresql/15/bin/postgres; 311 1 0 /usr/bin/dash sh /usr/lib/x/run;"
    u"312 311 65534 /usr/lib/x/xd; 320 1 0 /usr/sbin/sshd; 321 320 me - n=sshd;"
    u"340 1 0 /usr/bin/sleep sleep 900; 1000 1 me /usr/lib/systemd/systemd systemd --user;"
    u"1001 1000 me - n=(sd-pam); 1002 1000 me /usr/bin/dbus-daemon dbus-daemon --session;"
    u"1005 1000 me /usr/bin/gnome-shell; 1010 1000 me /usr/libexec/gnome-terminal-server;"
    u"1011 1010 me /usr/bin/bash bash @/tmp; 1040 1011 0 /usr/bin/sudo; 1060 1 me - n=worker;"
    u"1012 1011 me /usr/bin/python3.11 python3 -m http.server; 1042 1011 65534 /usr/bin/python3;"
    u"1013 1011 me /usr/bin/bash bash script.sh @/home/u/tools; 1015 1014 me /usr/bin/sleep;"
    u"1014 1 me /usr/bin/dash sh -c sleep @/home/u; 1017 1011 me /usr/bin/bash bash /dev/fd/3;"
    u"1016 1000 me /usr/bin/python3.11 python3 main.py @/home/u/bot;"
    u"1020 1005 me /usr/lib/firefox-esr/firefox-esr; 1030 1011 me /usr/bin/ninja ninja;"
    u"1031 1030 me /usr/bin/x86_64-linux-gnu-g++-12; 2000 1 59999 /usr/bin/perl;"
    u"1050 1011 me /usr/bin/node node server.js @/home/u/projects/chat-api"_s;

// Each item as "NAME · ORIGIN" and its flags, by the pid of its primary.
std::map<Pid, QString> describe(const Inventory& inventory) {
    std::map<Pid, QString> lines;
    for (const BackgroundItem& item : inventory.running)
        lines[item.primary->pid] = item.name + u" · "_s + Origins::originText(item.origin) +
                                   (item.isApple ? u" +system"_s : QString()) +
                                   (item.isPartOfBuild ? u" +build"_s : QString());
    return lines;
}

// A wrong answer hides the user's own command as the system's (no way to stop
// it) or lists a daemon of the system as the user's.
TEST(LinuxInventoryRules, TellTheSystemFromTheUserAsUserAndAsRoot) {
    const std::map<Pid, QString> asUser = describe(InventoryBuilder::build(desktop(user, machine)));
    const std::map<Pid, QString> asRoot = describe(InventoryBuilder::build(desktop(0, machine)));
    // The pid, what user 1000 sees, what root sees when that differs.
    const std::tuple<Pid, QString, QString> rows[] = {
        {300, u"cron · Detached (no owner) +system"_s, {}},
        {302, u"dash -c · Unknown +system"_s, u"dash -c · Unknown"_s}, // root's cron job
        {310, u"postgres · Detached (no owner) +system"_s, {}},
        {312, u"xd · Started from a shell +system"_s, u"xd · Started from a shell"_s},
        {320, u"sshd · Detached (no owner) +system"_s, {}},
        {321, u"sshd · Started in SSH +system"_s, {}},
        {340, u"sleep · Detached (no owner) +system"_s, u"sleep · Detached (no owner)"_s},
        {1000, u"systemd · Detached (no owner) +system"_s, {}},
        {1001, u"(sd-pam) · Detached (no owner) +system"_s, {}},
        {1002, u"dbus-daemon · Detached (no owner) +system"_s, {}},
        {1005, u"gnome-shell · Detached (no owner) +system"_s, {}},
        {1010, u"gnome-terminal-server · Detached (no owner)"_s, {}},
        {1011, u"bash in tmp · Started in GNOME Terminal +system"_s, {}},
        {1012, u"http.server · Started in GNOME Terminal"_s, {}},
        {1013, u"script in tools · Started in GNOME Terminal"_s, {}},
        {1014, u"dash -c · Detached (no owner)"_s, {}},
        {1017, u"bash · Started in GNOME Terminal"_s, {}}, // a script from a descriptor
        {1015, u"sleep · Started from a shell"_s, {}},
        {1016, u"bot · Detached (no owner)"_s, {}},
        {1020, u"firefox-esr · Unknown"_s, {}},
        {1030, u"ninja · Started in GNOME Terminal +build"_s, {}},
        {1031, u"x86_64-linux-gnu-g++-12 · Started in GNOME Terminal +build"_s, {}},
        {1040, u"sudo · Started in GNOME Terminal"_s, {}},
        {1050, u"chat-api · Started in GNOME Terminal"_s, {}},
        {1060, u"worker · Detached (no owner)"_s, {}},
        {2000, u"perl · Detached (no owner)"_s, {}},
    };
    for (const auto& [pid, seenByUser, seenByRoot] : rows) {
        EXPECT_EQ(asUser.at(pid), seenByUser) << pid;
        EXPECT_EQ(asRoot.at(pid), seenByRoot.isEmpty() ? seenByUser : seenByRoot) << pid;
    }
}

// The ancestry starts with pid 1 as sampled; the notes name the real account.
TEST(LinuxInventoryRules, AncestryLocationAndNotesSayWhatIsTrueHere) {
    QString facts = machine;
    std::map<Pid, BackgroundItem> items;
    for (const BackgroundItem& item : InventoryBuilder::build(desktop(user, facts)).running)
        items[item.primary->pid] = item;
    const auto item = [&](Pid pid) { return items.at(pid); };
    EXPECT_EQ(item(1012).ancestry,
              (QStringList{u"systemd"_s, u"systemd"_s, u"gnome-terminal-server"_s, u"bash"_s,
                           u"python3.11"_s}));
    EXPECT_EQ(item(1010).explanation, u"Detached (no owner) · Debian GNU/Linux"_s);
    facts.replace(u"1 0 0 /usr/lib/systemd/systemd;"_s, QString());
    EXPECT_EQ(InventoryBuilder::build(desktop(user, facts)).running.value(0).ancestry.value(0),
              u"init"_s);

    const std::pair<Pid, QString> notes[] = {
        {310, u"Part of "_s},
        {1040, u"Runs as another user (root);"_s},
        {1042, u"Runs as another user (nobody);"_s},
        {2000, u"Runs as another user (59999);"_s},
        {1031, u"Part of a running build"_s},
    };
    for (const auto& [pid, start] : notes) {
        const QString note = Items::safetyNote(item(pid), user).value_or(SafetyNote{}).text;
        EXPECT_TRUE(note.startsWith(start)) << pid << qPrintable(note);
    }

    const HostRules rules = Hosts::linuxRules(u"Debian GNU/Linux"_s);
    const std::pair<QString, QString> places[] = {
        {u"/usr/bin/rsync"_s, u"Debian GNU/Linux"_s},
        {u"/usr/local/bin/tool"_s, u"/usr/local/bin"_s},
        {u"/home/linuxbrew/.linuxbrew/bin/redis-server"_s, u"Homebrew"_s},
        {u"/snap/firefox/4000/usr/lib/firefox/firefox"_s, u"Snap"_s},
    };
    for (const auto& [path, place] : places)
        EXPECT_EQ(Explanations::locationText(path, u"/home/u"_s, rules), place) << qPrintable(path);
}

} // namespace
