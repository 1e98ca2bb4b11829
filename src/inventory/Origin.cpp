#include "inventory/Origin.h"

#include <algorithm>
#include <array>

#include <QCoreApplication>

namespace Origins {

namespace {

// The bundle part of a path: up to and including the first ".app/" (without
// the slash), or the whole path when it ends with ".app".
std::optional<QString> bundlePart(const QString& path) {
    const qsizetype inner = path.indexOf(u".app/");
    if (inner >= 0)
        return path.left(inner + 4);
    if (path.endsWith(u".app"))
        return path;
    return std::nullopt;
}

// The last path component of a bundle path, without ".app". A bare ".app"
// has no extension to drop and keeps its name.
QString bundleName(const QString& bundle) {
    const QString component = bundle.mid(bundle.lastIndexOf(u'/') + 1);
    if (component.size() > 4 && component.endsWith(u".app"))
        return component.chopped(4);
    return component;
}

bool liesInBundle(const QString& path) {
    return path.contains(u".app/") || path.endsWith(u".app");
}

// Whether the lowercased text contains `needle`, a lowercase ASCII text,
// without building the lowercased copy.
bool containsLowercased(QStringView text, QLatin1StringView needle) {
    const auto lowered = [](QChar c) {
        const char16_t unit = c.unicode();
        if (unit < 0x80)
            return unit >= u'A' && unit <= u'Z' ? char16_t(unit + (u'a' - u'A')) : unit;
        return c.toLower().unicode();
    };
    const qsizetype last = text.size() - needle.size();
    for (qsizetype start = 0; start <= last; ++start) {
        qsizetype i = 0;
        while (i < needle.size() && lowered(text[start + i]) == needle[i].unicode())
            ++i;
        if (i == needle.size())
            return true;
    }
    return false;
}

} // namespace

std::optional<QString> agentTool(const ProcSnapshot& process) {
    // The haystack is the path, the name and the first two arguments joined
    // with blanks and lowercased. No needle holds a blank, so a match always
    // lies inside one piece: each piece is searched in place. This runs for
    // every process on every refresh, so it builds no strings.
    // A piece that ends the path (the name, or the program as the first
    // argument) adds nothing to the search of the path itself.
    std::array<QStringView, 4> pieces{};
    qsizetype pieceCount = 0;
    pieces[pieceCount++] = process.path;
    const auto addPiece = [&](const QString& piece) {
        if (!piece.isEmpty() && !process.path.endsWith(piece))
            pieces[pieceCount++] = piece;
    };
    addPiece(process.name);
    for (qsizetype i = 0; i < std::min<qsizetype>(2, process.arguments.size()); ++i)
        addPiece(process.arguments[i]);
    const auto hayContains = [&](QLatin1StringView needle) {
        for (qsizetype i = 0; i < pieceCount; ++i) {
            if (containsLowercased(pieces[size_t(i)], needle))
                return true;
        }
        return false;
    };

    if (process.name == u"claude" || hayContains(QLatin1StringView("claude-code")) ||
        hayContains(QLatin1StringView("/claude/versions/")))
        return QStringLiteral("Claude");
    if (process.name == u"codex" || hayContains(QLatin1StringView("@openai/codex")))
        return QStringLiteral("Codex");
    return std::nullopt;
}

std::optional<QString> appName(const QString& path) {
    const std::optional<QString> bundle = bundlePart(path);
    if (!bundle)
        return std::nullopt;
    return bundleName(*bundle);
}

std::optional<QString> appBundle(const QString& path) {
    const std::optional<QString> bundle = bundlePart(path);
    if (!bundle)
        return std::nullopt;

    const QStringView rest = QStringView(path).mid(bundle->size());
    // Developer tools shipped inside an IDE bundle are not helpers of it.
    if (rest.contains(u"/Contents/Developer/"))
        return std::nullopt;

    static constexpr std::array<QStringView, 6> helperMarks = {
        u"/Contents/MacOS/", u"/Helpers/", u".xpc/", u"/LoginItems/", u"/Frameworks/", u"/Library/",
    };
    for (QStringView mark : helperMarks) {
        if (rest.contains(mark))
            return bundle;
    }
    return std::nullopt;
}

bool isSessionManager(const ProcSnapshot& process) {
    return process.name == u"systemd" && process.pid != 1 &&
           (process.arguments.isEmpty() || process.arguments.contains(u"--user"));
}

QList<ProcSnapshot> startingChain(const QList<ProcSnapshot>& chain, const ProcSnapshot& primary) {
    const ProcSnapshot* child = &primary;
    for (qsizetype i = 0; i < chain.size(); ++i) {
        if (chain[i].uid == child->uid && isSessionManager(chain[i]))
            return chain.first(i);
        child = &chain[i];
    }
    return chain;
}

Origin classify(const QList<ProcSnapshot>& chain, const ProcSnapshot& primary,
                const std::optional<QString>& label, const HostRules& rules) {
    // An agent session, IDE or terminal among the parents wins over
    // everything, a launchd label included.
    for (const ProcSnapshot& ancestor : chain) {
        if (const std::optional<QString> tool = agentTool(ancestor))
            return {Origin::Case::agentSession, *tool, ancestor.workingDirectory};
        if (const std::optional<QString> name = appName(ancestor.path)) {
            if (rules.ideAppNames.contains(*name))
                return {Origin::Case::ide, *name, std::nullopt};
            if (rules.terminalAppNames.contains(*name))
                return {Origin::Case::terminal, *name, std::nullopt};
        }
        if (const auto ide = rules.ideProcessNames.constFind(ancestor.name);
            ide != rules.ideProcessNames.cend())
            return {Origin::Case::ide, *ide, std::nullopt};
        if (const auto terminal = rules.terminalProcessNames.constFind(ancestor.name);
            terminal != rules.terminalProcessNames.cend())
            return {Origin::Case::terminal, *terminal, std::nullopt};
    }

    if (label && !label->startsWith(u"application."))
        return {Origin::Case::launchdJob, *label, std::nullopt};

    if (chain.isEmpty()) {
        if (appBundle(primary.path) || label)
            return {Origin::Case::app, {}, std::nullopt};
        return {Origin::Case::detached, {}, std::nullopt};
    }

    for (const ProcSnapshot& ancestor : chain) {
        if (liesInBundle(ancestor.path))
            return {Origin::Case::appHelper, appName(ancestor.path).value_or(QString()),
                    std::nullopt};
    }

    for (const ProcSnapshot& ancestor : chain) {
        if (rules.shellNames.contains(ancestor.name))
            return {Origin::Case::shell, {}, std::nullopt};
    }

    return {};
}

QString originText(const Origin& origin) {
    switch (origin.kind) {
    case Origin::Case::launchdJob:
        return QCoreApplication::translate("Origins", "launchd job");
    case Origin::Case::userService:
        return QCoreApplication::translate("Origins", "systemd user service");
    case Origin::Case::autostart:
        return QCoreApplication::translate("Origins", "Started at login");
    case Origin::Case::appHelper:
        //: %1 is the name of the app whose helper this is
        return QCoreApplication::translate("Origins", "Started by %1").arg(origin.payload);
    case Origin::Case::agentSession:
        //: %1 is a coding-agent tool, such as Claude
        return QCoreApplication::translate("Origins", "%1 session").arg(origin.payload);
    case Origin::Case::ide:
        //: %1 is the name of an IDE
        return QCoreApplication::translate("Origins", "Started from %1").arg(origin.payload);
    case Origin::Case::terminal:
        //: %1 is the name of a terminal app
        return QCoreApplication::translate("Origins", "Started in %1").arg(origin.payload);
    case Origin::Case::app:
        return QCoreApplication::translate("Origins", "App");
    case Origin::Case::shell:
        return QCoreApplication::translate("Origins", "Started from a shell");
    case Origin::Case::detached:
        return QCoreApplication::translate("Origins", "Detached (no owner)");
    case Origin::Case::unknown:
        break;
    }
    return QCoreApplication::translate("Origins", "Unknown");
}

bool isInteractiveShell(const ProcSnapshot& process, const HostRules& rules) {
    if (!rules.shellNames.contains(process.name))
        return false;
    for (qsizetype i = 1; i < process.arguments.size(); ++i) {
        const QString& argument = process.arguments[i];
        if (argument.isEmpty() || argument.startsWith(u"--"))
            continue;
        // A script, or a command given with -c (also grouped: -lc, -ec).
        if (!argument.startsWith(u'-') || argument.contains(u'c'))
            return false;
    }
    return true;
}

bool isPartOfBuild(const ProcSnapshot& primary, const QList<ProcSnapshot>& chain,
                   const HostRules& rules) {
    if (Hosts::isBuildTool(rules, primary.name))
        return true;
    return std::any_of(chain.begin(), chain.end(), [&](const ProcSnapshot& ancestor) {
        return Hosts::isBuildTool(rules, ancestor.name);
    });
}

bool isInteractive(const Origin& origin) {
    switch (origin.kind) {
    case Origin::Case::agentSession:
    case Origin::Case::ide:
    case Origin::Case::terminal:
    case Origin::Case::shell:
        return true;
    default:
        return false;
    }
}

} // namespace Origins
