// The composed explanation of a running item. Kept apart from the table and
// the describing texts because it builds on origins and the item's derived
// values.

#include <QCoreApplication>

#include "inventory/Explanations.h"
#include "inventory/Origin.h"

namespace Explanations {

namespace {

QString joined(const QString& first, const QString& second) {
    //: Two descriptions of one item side by side
    return QCoreApplication::translate("Explanations", "%1 · %2").arg(first, second);
}

std::optional<QString> primaryAgentTool(const BackgroundItem& item) {
    if (!item.primary)
        return std::nullopt;
    return Origins::agentTool(*item.primary);
}

} // namespace

QString runningExplanation(const BackgroundItem& item, const HostRules& rules) {
    const std::optional<QString> ownTool = primaryAgentTool(item);

    if (item.origin.kind == Origin::Case::agentSession && !ownTool) {
        const QString primaryName = item.primary ? item.primary->name : QString();
        const QString what =
            explain(item.launchLabel, primaryName, Items::executablePath(item).value_or(QString()))
                .value_or(QCoreApplication::translate("Explanations", "Process"));
        return joined(what, Origins::originText(item.origin));
    }

    if (ownTool) {
        //: %1 is a coding-agent tool, such as Claude
        return QCoreApplication::translate("Explanations", "%1 Code agent session").arg(*ownTool);
    }

    switch (item.kind) {
    case BackgroundItem::Kind::app: {
        const QString bundle = item.appBundlePath.value_or(QString());
        const QString what = explain(std::nullopt, item.name, bundle)
                                 .value_or(QCoreApplication::translate("Explanations", "app in %1")
                                               .arg(locationText(bundle, rules)));
        return joined(processCountText(item.members.size()), what);
    }
    case BackgroundItem::Kind::process: {
        const std::optional<QString> label = item.job ? item.job->label : item.launchLabel;
        const QString executable = Items::executablePath(item).value_or(QString());
        const QString argument = item.primary && item.primary->arguments.size() > 1
                                     ? item.primary->arguments.at(1)
                                     : QString();
        if (std::optional<QString> known = explain(label, item.name, executable + u' ' + argument))
            return *known;
        return joined(Origins::originText(item.origin), locationText(executable, rules));
    }
    case BackgroundItem::Kind::simulator:
        return explain(std::nullopt, QStringLiteral("launchd_sim"), QString()).value_or(QString());
    case BackgroundItem::Kind::job:
        break;
    }
    // Items that are not running are explained where they are built.
    return QString();
}

} // namespace Explanations
