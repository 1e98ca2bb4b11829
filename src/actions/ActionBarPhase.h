#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "actions/ActionError.h"
#include "actions/ProcessTarget.h"
#include "inventory/BackgroundItem.h"

// What the action bar under an item shows: a confirmation, a running action,
// the survivors of a stop, a result line, or the button row.
struct ActionBarPhase {
    enum class Case { confirm, working, stillRunning, message, idle };
    enum class Pending { stop, disable };

    Case kind = Case::idle;
    Pending pending = Pending::stop; // confirm
    QString text;                    // working, message
    bool isError = false;            // message
    QList<ProcessTarget> survivors;  // stillRunning

    bool operator==(const ActionBarPhase&) const = default;

    static ActionBarPhase idle() { return {}; }
    static ActionBarPhase confirm(Pending pending) {
        return {Case::confirm, pending, {}, false, {}};
    }
    static ActionBarPhase working(const QString& text) {
        return {Case::working, Pending::stop, text, false, {}};
    }
    static ActionBarPhase stillRunning(const QList<ProcessTarget>& survivors) {
        return {Case::stillRunning, Pending::stop, {}, false, survivors};
    }
    static ActionBarPhase message(const QString& text, bool isError) {
        return {Case::message, Pending::stop, text, isError, {}};
    }
};

// The operations the bar starts.
enum class ItemAction { stop, forceQuit, disable, reenable, enable, load };

// The idle row of one item, left to right. Every label is localized.
struct ActionOffer {
    // Items that are part of the operating system get this note and nothing else.
    std::optional<QString> appleNote;
    std::optional<QString> stopLabel;
    // Shown instead of the stop button for a running system daemon.
    std::optional<QString> daemonNote;
    bool disable = false;
    bool reenable = false;
    // Enable, or Load / Run now; the label, and which of the two it starts.
    std::optional<QString> launchLabel;
    ItemAction launchAction = ItemAction::load;
    bool copy = false;

    bool operator==(const ActionOffer&) const = default;
};

// The texts and choices of the action bar, and its safety rules as the user
// sees them. `uid` is the current user's id.
namespace ActionBarRules {

ActionOffer offer(const BackgroundItem& item, Uid uid);

// "Quit" for an app, "Stop" otherwise.
QString stopLabel(const BackgroundItem& item);
QString confirmLabel(const BackgroundItem& item, ActionBarPhase::Pending pending);
QString description(const BackgroundItem& item, ActionBarPhase::Pending pending);
// One line per warning, in display order.
QStringList warnings(const BackgroundItem& item);

QString workingText(const BackgroundItem& item, ItemAction action);
QString stillRunningText(const BackgroundItem& item, const QList<ProcessTarget>& survivors);

} // namespace ActionBarRules

// The bar's state over one item: every transition the user or a finished
// operation makes. Main thread only, like the bar.
class ActionBarMachine {
public:
    const ActionBarPhase& phase() const { return m_phase; }
    const QString& itemId() const { return m_itemId; }

    // The item shown; another id returns to idle.
    void showItem(const QString& id);

    void requestStop();
    void requestDisable();
    // Cancel in the confirmation or the still-running panel, OK on a message.
    void dismiss();

    // Enters the working phase for `action` and returns the ticket its result
    // must bring back; none when the phase does not allow starting it (another
    // action runs, a stop or disable was not confirmed, a force quit has no
    // survivors to act on).
    std::optional<quint64> begin(const BackgroundItem& item, ItemAction action);

    // Results of the operations. A result whose ticket is not the running
    // action's (the item changed meanwhile) is dropped.
    void finishStop(quint64 ticket, const QList<ProcessTarget>& survivors,
                    const ActionResult& error);
    void finishForceQuit(quint64 ticket, const QList<ProcessTarget>& survivors);
    void finish(quint64 ticket, ItemAction action, const ActionResult& error);

private:
    bool accepts(quint64 ticket) const;

    ActionBarPhase m_phase;
    QString m_itemId;
    quint64 m_ticket = 0;
    bool m_running = false;
};
