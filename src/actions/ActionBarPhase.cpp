#include "actions/ActionBarPhase.h"

#include <QCoreApplication>
#include <QDir>

#include "inventory/Explanations.h"
#include "inventory/Origin.h"
#include "os/HostRules.h"

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("ActionBar", text);
}

bool isApp(const BackgroundItem& item) {
    return item.kind == BackgroundItem::Kind::app;
}

bool hasJobIn(const BackgroundItem& item, LaunchJob::Domain domain) {
    return item.job && item.job->domain == domain;
}

// The last component of a folder path, ignoring a trailing slash.
QString lastComponent(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    const QString last = clean.section(QLatin1Char('/'), -1);
    return last.isEmpty() ? clean : last;
}

// A unit the manager can start (not masked), an entry with a command; both
// only while nothing of theirs runs.
QString sessionDisableText(const SessionJob& job) {
    switch (SessionJobs::disabling(job)) {
    case SessionJobs::Disabling::disableUnit:
        return tr("Stops it now and disables it, as systemctl --user disable does. It will not "
                  "start at login. Re-enable turns it on again.");
    case SessionJobs::Disabling::maskUnit:
        return tr("Stops it now and masks it for you (a link to /dev/null in "
                  "~/.config/systemd/user). It will not start at login. Re-enable removes the "
                  "mask.");
    case SessionJobs::Disabling::hideEntry:
        return job.owner == SessionJob::Owner::user
                   ? tr("Stops it now and adds the line Hidden=true to its autostart entry. It "
                        "will not start at login. Re-enable removes that line.")
                   : tr("Stops it now and adds a copy of its autostart entry with Hidden=true to "
                        "~/.config/autostart. It will not start at login. Re-enable removes that "
                        "copy.");
    case SessionJobs::Disabling::none:
        break;
    }
    return {};
}

bool canStartSessionJob(const BackgroundItem& item) {
    const SessionJob& job = *item.sessionJob;
    if (item.state != BackgroundItem::State::notRunning || item.isThisApp)
        return false;
    return SessionJobs::isUnit(job) ? !job.maskFile : !job.command.isEmpty();
}

} // namespace

namespace ActionBarRules {

ActionOffer offer(const BackgroundItem& item, Uid uid) {
    ActionOffer result;
    if (item.isApple) {
        result.appleNote = Hosts::current().words.systemItemNote;
        return result;
    }
    if (Items::canStop(item, uid))
        result.stopLabel = stopLabel(item);
    else if (item.state == BackgroundItem::State::running &&
             hasJobIn(item, LaunchJob::Domain::globalDaemon))
        result.daemonNote = tr("System daemon: needs admin rights to stop.");
    result.disable = Items::canDisable(item);
    result.reenable = Items::canReenable(item);
    if (item.sessionJob) {
        if (canStartSessionJob(item))
            result.launchLabel = tr("Start");
        result.launchAction = ItemAction::load;
    } else if (item.isDisabledInLaunchd) {
        result.launchLabel = tr("Enable");
        result.launchAction = ItemAction::enable;
    } else if (item.state == BackgroundItem::State::notRunning &&
               hasJobIn(item, LaunchJob::Domain::userAgent)) {
        result.launchLabel = item.launchLabel ? tr("Run now") : tr("Load");
        result.launchAction = ItemAction::load;
    }
    result.copy = !Items::commandLine(item).isEmpty();
    return result;
}

QString stopLabel(const BackgroundItem& item) {
    return isApp(item) ? tr("Quit") : tr("Stop");
}

QString confirmLabel(const BackgroundItem& item, ActionBarPhase::Pending pending) {
    return pending == ActionBarPhase::Pending::disable ? tr("Disable") : stopLabel(item);
}

QString description(const BackgroundItem& item, ActionBarPhase::Pending pending) {
    if (pending == ActionBarPhase::Pending::disable && item.sessionJob)
        return sessionDisableText(*item.sessionJob);
    if (pending == ActionBarPhase::Pending::disable)
        return tr("Unloads it now and moves its plist to ~/Library/LaunchAgents/Disabled/. It "
                  "will not start at login. Re-enable puts it back.");
    if (isApp(item))
        return Hosts::current().words.appQuitConsequence.arg(item.name);
    if (item.kind == BackgroundItem::Kind::simulator) {
        return Items::simulatorDeviceID(item)
                   ? tr("Shuts down this simulator (xcrun simctl shutdown).")
                   : tr("Shuts down all booted simulators (xcrun simctl shutdown all).");
    }
    if (item.sessionJob && SessionJobs::isUnit(*item.sessionJob)) {
        //: %1 is a systemd unit such as syncthing.service
        return item.sessionJob->startsAtLogin
                   ? tr("Stops %1 through the systemd user manager. It starts again at next "
                        "login. Use Disable auto-start to keep it off.")
                         .arg(item.sessionJob->name)
                   : tr("Stops %1 through the systemd user manager. It stays stopped until "
                        "something starts it.")
                         .arg(item.sessionJob->name);
    }
    if (const std::optional<QString> label = Items::controllableLabel(item)) {
        if (item.job && (item.job->runAtLoad || item.job->keepAlive))
            return tr("Unloads %1 with launchctl bootout. It starts again at next login. Use "
                      "Disable auto-start to keep it off.")
                .arg(*label);
        return tr("Unloads %1 with launchctl bootout. It stays unloaded until something loads "
                  "it again.")
            .arg(*label);
    }
    return tr("Sends SIGTERM to %1. If it does not exit in 3 s, you can force quit. It does not "
              "start again by itself.")
        .arg(Explanations::processCountText(item.members.size()));
}

QStringList warnings(const BackgroundItem& item) {
    QStringList lines;
    const std::optional<QString> liveTool =
        item.primary ? Origins::agentTool(*item.primary) : std::nullopt;
    if (liveTool) {
        lines << tr("This is a live %1 session. Stopping it ends the conversation and any work "
                    "in progress.")
                     .arg(*liveTool);
    } else if (item.origin.kind == Origin::Case::agentSession) {
        if (item.origin.folder && !item.origin.folder->isEmpty())
            lines << tr("Belongs to an active %1 session in %2. Stopping it may break that "
                        "session's work.")
                         .arg(item.origin.payload, lastComponent(*item.origin.folder));
        else
            lines << tr("Belongs to an active %1 session. Stopping it may break that session's "
                        "work.")
                         .arg(item.origin.payload);
    }
    if (item.isPartOfBuild)
        lines << tr("Part of a running build. The build will likely fail.");
    if (item.job && item.job->keepAlive && !Items::controllableLabel(item))
        lines << tr("KeepAlive is on: launchd restarts it right away.");
    return lines;
}

QString workingText(const BackgroundItem& item, ItemAction action) {
    switch (action) {
    case ItemAction::stop:
        return isApp(item) ? tr("Quitting…") : tr("Stopping…");
    case ItemAction::forceQuit:
        return tr("Force quitting…");
    case ItemAction::disable:
        return tr("Disabling…");
    case ItemAction::reenable:
        return tr("Re-enabling…");
    case ItemAction::enable:
        return tr("Enabling…");
    case ItemAction::load:
        return tr("Starting…");
    }
    return {};
}

QString stillRunningText(const BackgroundItem& item, const QList<ProcessTarget>& survivors) {
    if (isApp(item))
        return tr("%1 has not quit. It may be asking to save changes. Force Quit loses unsaved "
                  "work.")
            .arg(item.name);
    QStringList pids;
    for (const ProcessTarget& target : survivors)
        pids << QString::number(target.pid);
    return tr("Still running after SIGTERM (%1).").arg(pids.join(QStringLiteral(", ")));
}

} // namespace ActionBarRules

void ActionBarMachine::showItem(const QString& id) {
    if (id == m_itemId)
        return;
    m_itemId = id;
    m_phase = ActionBarPhase::idle();
    m_running = false;
    ++m_ticket;
}

void ActionBarMachine::requestStop() {
    if (m_phase.kind == ActionBarPhase::Case::idle)
        m_phase = ActionBarPhase::confirm(ActionBarPhase::Pending::stop);
}

void ActionBarMachine::requestDisable() {
    if (m_phase.kind == ActionBarPhase::Case::idle)
        m_phase = ActionBarPhase::confirm(ActionBarPhase::Pending::disable);
}

void ActionBarMachine::dismiss() {
    switch (m_phase.kind) {
    case ActionBarPhase::Case::confirm:
    case ActionBarPhase::Case::stillRunning:
    case ActionBarPhase::Case::message:
        m_phase = ActionBarPhase::idle();
        break;
    case ActionBarPhase::Case::working:
    case ActionBarPhase::Case::idle:
        break;
    }
}

std::optional<quint64> ActionBarMachine::begin(const BackgroundItem& item, ItemAction action) {
    const ActionBarPhase::Case from = m_phase.kind;
    bool allowed = false;
    switch (action) {
    case ItemAction::stop:
        allowed = from == ActionBarPhase::Case::confirm &&
                  m_phase.pending == ActionBarPhase::Pending::stop;
        break;
    case ItemAction::disable:
        allowed = from == ActionBarPhase::Case::confirm &&
                  m_phase.pending == ActionBarPhase::Pending::disable;
        break;
    case ItemAction::forceQuit:
        allowed = from == ActionBarPhase::Case::stillRunning && !m_phase.survivors.isEmpty();
        break;
    case ItemAction::reenable:
    case ItemAction::enable:
    case ItemAction::load:
        allowed = from == ActionBarPhase::Case::idle;
        break;
    }
    if (!allowed)
        return std::nullopt;
    m_phase = ActionBarPhase::working(ActionBarRules::workingText(item, action));
    m_running = true;
    return ++m_ticket;
}

bool ActionBarMachine::accepts(quint64 ticket) const {
    return m_running && ticket == m_ticket && m_phase.kind == ActionBarPhase::Case::working;
}

void ActionBarMachine::finishStop(quint64 ticket, const QList<ProcessTarget>& survivors,
                                  const ActionResult& error) {
    if (!accepts(ticket))
        return;
    m_running = false;
    if (error)
        m_phase = ActionBarPhase::message(error->message, true);
    else if (!survivors.isEmpty())
        m_phase = ActionBarPhase::stillRunning(survivors);
    else
        m_phase = ActionBarPhase::message(tr("Stopped."), false);
}

void ActionBarMachine::finishForceQuit(quint64 ticket, const QList<ProcessTarget>& survivors) {
    if (!accepts(ticket))
        return;
    m_running = false;
    if (survivors.isEmpty())
        m_phase = ActionBarPhase::message(tr("Force quit."), false);
    else
        m_phase = ActionBarPhase::message(
            tr("Could not stop %1.").arg(Explanations::processCountText(survivors.size())), true);
}

void ActionBarMachine::finish(quint64 ticket, ItemAction action, const ActionResult& error) {
    if (!accepts(ticket))
        return;
    m_running = false;
    if (error) {
        m_phase = ActionBarPhase::message(error->message, true);
        return;
    }
    switch (action) {
    case ItemAction::enable:
        m_phase = ActionBarPhase::message(tr("Enabled."), false);
        break;
    case ItemAction::load:
        m_phase = ActionBarPhase::message(tr("Started."), false);
        break;
    case ItemAction::stop:
    case ItemAction::forceQuit:
    case ItemAction::disable:
    case ItemAction::reenable:
        m_phase = ActionBarPhase::idle();
        break;
    }
}
