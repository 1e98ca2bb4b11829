// Catches, for the units and autostart entries of a Linux session: a unit's
// processes left as loose commands (main pid from the manager, helpers by
// cgroup, an entry started as a generated unit, an entry's program without
// cgroups); a crash loop, a failure or a timer shown as merely stopped; a
// switched-off unit or entry offered as auto-starting; the vendor's units
// listed as the user's, or a vendor unit the user enabled hidden as the
// system's; a service listed twice beside its timer; this app's own entry
// claiming to be stopped.

#include <gtest/gtest.h>

#include "inventory/InventoryBuilder.h"
#include "inventory/ItemFixtures.h"
#include "inventory/Origin.h"
#include "os/UserHome.h"

using namespace Qt::StringLiterals;

namespace {

// A unit or, by its name, an entry (which is named in capitals).
SessionJob job(const QString& name, SessionJob::Owner owner, bool atLogin,
               const QStringList& command = {}) {
    using enum SessionJob::Kind;
    SessionJob made;
    made.kind = name.endsWith(u".desktop"_s) ? autostartEntry
                : name.endsWith(u".timer"_s) ? timer
                                             : service;
    made.name = name;
    made.title = made.kind == autostartEntry ? name.section(u'.', 0, 0).toUpper() : QString();
    made.owner = owner;
    made.startsAtLogin = atLogin;
    made.enabledByUser = atLogin && owner == SessionJob::Owner::user;
    made.wantedBy = {u"default.target"_s};
    made.command = command;
    made.file = u"/units/"_s + name;
    return made;
}

TEST(LinuxSessionItems, EachUnitAndEntryIsOneItemWithTheStatusItsStateGives) {
    using enum SessionJob::Owner;
    SampleInput input = ItemFixtures::sample(
        u"p 1 0 /sbin/init u=0; p 90 1 /opt/qm/quillmarsh; p 700 1 /usr/bin/syncthing;"
        u"p 701 700 /usr/bin/syncthing-helper; p 710 1 /usr/bin/python3 python3 /opt/mail/sync.py;"
        u"p 711 1 /usr/bin/nextcloud; p 713 1 /usr/bin/python3 python3 /opt/notes/run.py"_s,
        Hosts::linuxRules(u"Debian GNU/Linux"_s), 1000);
    input.includeApple = false;
    const QString slice = u"/user.slice/user-1000.slice/user@1000.service/app.slice/"_s;
    input.processes[710].cgroup = slice + u"mail.service"_s;
    input.processes[713].cgroup = slice + u"app-notes@autostart.service"_s;

    SessionJob syncthing = job(u"syncthing.service"_s, user, true, {u"/usr/bin/syncthing"_s});
    syncthing.title = u"File synchronisation"_s;
    SessionJob timer = job(u"backup.timer"_s, user, true);
    timer.onCalendar = {u"daily"_s};
    timer.triggers = u"backup.service"_s;
    SessionJob masked = job(u"tracker.service"_s, system, false);
    masked.maskFile = UserHome::path() + u"/.config/systemd/user/tracker.service"_s;
    SessionJob vendorEnabledByUser = job(u"gpg-agent.service"_s, system, true);
    vendorEnabledByUser.enabledByUser = true;
    SessionJob hidden = job(u"chat.desktop"_s, user, false, {u"chat"_s});
    hidden.hidden = true;
    input.sessionJobs = {
        syncthing,
        job(u"mail.service"_s, user, true, {u"/usr/bin/python3"_s, u"/opt/mail/sync.py"_s}),
        job(u"crashy.service"_s, user, true),
        job(u"broken.service"_s, user, true),
        timer,
        job(u"backup.service"_s, user, false),
        job(u"notes.service"_s, user, false),
        masked,
        vendorEnabledByUser,
        job(u"dirmngr.service"_s, system, false),
        job(u"pipewire.service"_s, system, true),
        job(u"nextcloud.desktop"_s, user, true, {u"nextcloud"_s, u"--background"_s}),
        job(u"notes.desktop"_s, user, true, {u"notes"_s}),
        job(u"quillmarsh.desktop"_s, user, true, {u"/opt/qm/quillmarsh"_s}),
        job(u"at-spi.desktop"_s, system, true, {u"/usr/libexec/at-spi"_s}),
        hidden,
    };
    input.unitStates = {
        {u"syncthing.service"_s, {u"active"_s, u"running"_s, 700, 0, {}, {}}},
        {u"crashy.service"_s, {u"activating"_s, u"auto-restart"_s, 0, 3, 1, {}}},
        {u"broken.service"_s, {u"failed"_s, u"failed"_s, 0, 0, 1, {}}},
        {u"backup.timer"_s, {u"active"_s, u"waiting"_s, 0, 0, {}, {}}},
    };

    const Inventory inventory = InventoryBuilder::build(input);
    QStringList seen;
    for (const BackgroundItem& item : inventory.running) {
        QStringList pids;
        for (const ProcSnapshot& member : item.members)
            pids << QString::number(member.pid);
        seen << item.id + u" "_s + item.name + u" ["_s + pids.join(u',') + u"] "_s +
                    Origins::originText(item.origin);
    }
    for (const BackgroundItem& item : inventory.notRunning) {
        const StatusLine status = Items::statusLine(item);
        seen << item.id + u" "_s + status.status + u" ("_s + status.detail + u")"_s +
                    (Items::canReenable(item) ? u" +reenable"_s : QString()) +
                    (Items::canDisable(item) ? u" +disable"_s : QString());
    }
    seen.sort();
    const QStringList expected = {
        u"job:backup.timer Waiting (daily) +disable"_s,
        u"job:broken.service Failed (exit 1) +disable"_s,
        u"job:chat.desktop Disabled (hidden) +reenable"_s,
        u"job:crashy.service Restarting (3 restarts) +disable"_s,
        u"job:gpg-agent.service Stopped (until login) +disable"_s,
        u"job:mail.service mail [710] systemd user service"_s,
        u"job:nextcloud.desktop NEXTCLOUD [711] Started at login"_s,
        u"job:notes.desktop NOTES [713] Started at login"_s,
        u"job:notes.service Disabled (not enabled) +reenable"_s,
        u"job:quillmarsh.desktop Running (this app) +disable"_s,
        u"job:syncthing.service File synchronisation [700,701] systemd user service"_s,
        u"job:tracker.service Disabled (masked) +reenable"_s,
    };
    EXPECT_EQ(seen, expected);
}

} // namespace
