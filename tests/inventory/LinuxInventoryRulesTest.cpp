// Catches, under the Linux rules: the user's commands hidden as the system's
// (dash, `bash x.sh`, `sh -c`, a nohup adopted by `systemd --user`, desktop apps
// under /usr/lib, commands of root when root is the user) and system daemons
// listed as the user's; terminals and builds not known by process name; an
// ancestry that starts with a fixed name; a relative script named "/"; another
// user's note that always says root.

#include <gtest/gtest.h>

#include "inventory/Explanations.h"
#include "inventory/InventoryBuilder.h"
#include "inventory/ItemFixtures.h"

using namespace Qt::StringLiterals;

namespace {

constexpr Uid user = 1000;

const QString init = u"p 1 0 /usr/lib/systemd/systemd u=0;"_s;
const QString machine =
    u"p 300 1 /usr/sbin/cron u=0; p 302 300 /usr/bin/dash sh -c job u=0;"
    u"p 320 1 /usr/sbin/sshd u=0; p 310 1 /usr/lib/postgresql/15/bin/postgres u=108;"
    u"p 311 1 /usr/bin/dash sh /usr/lib/x/run u=0; p 312 311 /usr/lib/x/xd u=65534;"
    u"p 321 320 - n=sshd; p 340 1 /usr/bin/sleep sleep 900 u=0;"
    u"p 1000 1 /usr/lib/systemd/systemd systemd --user; p 1001 1000 - n=(sd-pam);"
    u"p 1002 1000 /usr/bin/dbus-daemon dbus-daemon --session; p 1005 1000 /usr/bin/gnome-shell;"
    u"p 1010 1000 /usr/libexec/gnome-terminal-server; p 1011 1010 /usr/bin/bash bash @/tmp;"
    u"p 1012 1011 /usr/bin/python3.11 python3 -m http.server;"
    u"p 1042 1011 /usr/bin/python3 u=65534;"
    u"p 1013 1011 /usr/bin/bash bash script.sh @/home/u/tools; p 1015 1014 /usr/bin/sleep;"
    u"p 1014 1 /usr/bin/dash sh -c sleep @/home/u; p 1017 1011 /usr/bin/bash bash /dev/fd/3;"
    u"p 1016 1000 /usr/bin/python3.11 python3 main.py @/home/u/bot; p 1060 1 - n=worker;"
    u"p 1020 1005 /usr/lib/firefox-esr/firefox-esr; p 1030 1011 /usr/bin/ninja ninja;"
    u"p 1031 1030 /usr/bin/x86_64-linux-gnu-g++-12; p 2000 1 /usr/bin/perl u=59999;"
    u"p 1050 1011 /usr/bin/node node server.js @/home/u/projects/chat-api;"
    u"p 1040 1011 /usr/bin/sudo u=0"_s;

// The running items of a Debian desktop of `uid`, by the pid of their primary.
std::map<Pid, BackgroundItem> desktop(Uid uid, const QString& facts = init + machine) {
    std::map<Pid, BackgroundItem> items;
    const SampleInput input =
        ItemFixtures::sample(facts, Hosts::linuxRules(u"Debian GNU/Linux"_s), uid);
    for (const BackgroundItem& item : InventoryBuilder::build(input).running)
        items[item.primary->pid] = item;
    return items;
}

// A wrong answer hides the user's own command as the system's (no way to stop
// it) or lists a daemon of the system as the user's.
TEST(LinuxInventoryRules, TellTheSystemFromTheUserAsUserAndAsRoot) {
    const std::map<Pid, BackgroundItem> asUser = desktop(user), asRoot = desktop(0);
    const auto describe = [](const BackgroundItem& item) {
        return item.name + u" · "_s + Origins::originText(item.origin) +
               (item.isApple ? u" +system"_s : QString()) +
               (item.isPartOfBuild ? u" +build"_s : QString());
    };
    // The pid, what user 1000 sees, what root sees when that differs.
    const std::tuple<Pid, QString, QString> rows[] = {
        {300, u"cron · Detached (no owner) +system"_s, {}},
        {302, u"dash -c · Unknown +system"_s, u"dash -c · Unknown"_s}, // root's cron job
        {310, u"postgres · Detached (no owner) +system"_s, {}},
        {312, u"xd · Started from a shell +system"_s, u"xd · Started from a shell"_s},
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
        EXPECT_EQ(describe(asUser.at(pid)), seenByUser) << pid;
        EXPECT_EQ(describe(asRoot.at(pid)), seenByRoot.isEmpty() ? seenByUser : seenByRoot) << pid;
    }
}

// The ancestry starts with pid 1 as sampled; the notes name the real account.
TEST(LinuxInventoryRules, AncestryLocationAndNotesSayWhatIsTrueHere) {
    const std::map<Pid, BackgroundItem> items = desktop(user);
    EXPECT_EQ(items.at(1012).ancestry,
              (QStringList{u"systemd"_s, u"systemd"_s, u"gnome-terminal-server"_s, u"bash"_s,
                           u"python3.11"_s}));
    EXPECT_EQ(desktop(user, machine).at(1012).ancestry.value(0), u"init"_s);
    EXPECT_EQ(items.at(1010).explanation, u"Detached (no owner) · Debian GNU/Linux"_s);
    const std::pair<Pid, QString> notes[] = {
        {310, u"Part of "_s},
        {1040, u"Runs as another user (root);"_s},
        {1042, u"Runs as another user (nobody);"_s},
        {2000, u"Runs as another user (59999);"_s},
        {1031, u"Part of a running build"_s},
    };
    for (const auto& [pid, start] : notes) {
        const QString note = Items::safetyNote(items.at(pid), user).value_or(SafetyNote{}).text;
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
