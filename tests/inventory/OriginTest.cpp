#include "inventory/Origin.h"

#include <gtest/gtest.h>

namespace {

using Case = Origin::Case;

ProcSnapshot proc(Pid pid, const char* name, const char* path, QStringList arguments = {},
                  std::optional<QString> workingDirectory = std::nullopt) {
    ProcSnapshot p;
    p.pid = pid;
    p.ppid = 1;
    p.uid = 501;
    p.name = QString::fromUtf8(name);
    p.path = QString::fromUtf8(path);
    p.arguments = std::move(arguments);
    p.workingDirectory = std::move(workingDirectory);
    return p;
}

Origin origin(Case kind, const char* payload = "", std::optional<QString> folder = std::nullopt) {
    return {kind, QString::fromUtf8(payload), std::move(folder)};
}

std::optional<QString> text(const char* value) {
    return QString::fromUtf8(value);
}

} // namespace

TEST(OriginTest, AgentToolLooksAtNamePathAndFirstTwoArguments) {
    struct Row {
        ProcSnapshot process;
        std::optional<QString> tool;
        const char* why;
    };
    const Row rows[] = {
        {proc(10, "claude", "/Users/me/.local/bin/claude"), text("Claude"), "name is claude"},
        {proc(10, "node", "/opt/homebrew/bin/node",
              {"node", "/opt/homebrew/lib/node_modules/@anthropic-ai/claude-code/cli.js"}),
         text("Claude"), "claude-code in the first argument"},
        {proc(10, "2.0.14", "/Users/me/.local/share/claude/versions/2.0.14"), text("Claude"),
         "versioned binary in a claude/versions folder"},
        {proc(10, "node", "/usr/local/bin/node", {"node", "/x/Claude-Code/cli.js"}), text("Claude"),
         "hay is lowercased"},
        {proc(10, "Claude", "/Applications/Claude.app/Contents/MacOS/Claude"), std::nullopt,
         "the name must be exactly claude; the desktop app is no session"},
        {proc(10, "node", "/usr/local/bin/node", {"node", "--flag", "claude-code"}), std::nullopt,
         "only the first two arguments count"},
        {proc(10, "codex", "/opt/homebrew/bin/codex"), text("Codex"), "name is codex"},
        {proc(10, "node", "/opt/homebrew/bin/node",
              {"node", "/opt/homebrew/lib/node_modules/@openai/codex/bin/codex.js"}),
         text("Codex"), "@openai/codex package"},
        {proc(10, "codex-helper", "/usr/local/bin/codex-helper"), std::nullopt,
         "a name merely starting with codex"},
        {proc(10, "claude", "/x/@openai/codex/claude"), text("Claude"), "Claude is tested first"},
        {proc(10, "", ""), std::nullopt, "empty process"},
        {proc(10, "vim", "/usr/bin/vim", {"vim", "claude.md"}), std::nullopt,
         "the word claude alone is not enough"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::agentTool(row.process), row.tool) << row.why;
}

TEST(OriginTest, AppNameTakesTheFirstBundleInThePath) {
    struct Row {
        const char* path;
        std::optional<QString> name;
    };
    const Row rows[] = {
        {"/Applications/Foo Bar.app/Contents/MacOS/foo", text("Foo Bar")},
        {"/Applications/Foo.app", text("Foo")},
        {"/Applications/Foo.app/", text("Foo")},
        {"/Applications/Foo.app/Contents/Frameworks/Bar.app/Contents/MacOS/bar", text("Foo")},
        {"/Applications/Xcode.app/Contents/Developer/usr/bin/git", text("Xcode")},
        {"/Applications/My.Tool.app/Contents/MacOS/tool", text("My.Tool")},
        {"Foo.app", text("Foo")},
        {"/usr/bin/python3", std::nullopt},
        {"/Users/me/apple/bin/x", std::nullopt},
        {"/Users/me/x.apple/run", std::nullopt},
        {"/Users/me/x.application/run", std::nullopt},
        {"/Users/me/Foo.APP/Contents/MacOS/foo", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::appName(QString::fromUtf8(row.path)), row.name) << row.path;
}

TEST(OriginTest, AppBundleOnlyForHelperLocations) {
    struct Row {
        const char* path;
        std::optional<QString> bundle;
    };
    const Row rows[] = {
        {"/Applications/Foo.app/Contents/MacOS/Foo", text("/Applications/Foo.app")},
        {"/Applications/Foo.app/Contents/Frameworks/Foo Helper.app/Contents/MacOS/Foo Helper",
         text("/Applications/Foo.app")},
        {"/Applications/Foo.app/Contents/Frameworks/Foo Framework.framework/Helpers/helper",
         text("/Applications/Foo.app")},
        {"/Applications/Foo.app/Contents/XPCServices/Foo.xpc/Contents/MacOS/Foo",
         text("/Applications/Foo.app")},
        {"/Applications/Foo.app/Contents/Library/LoginItems/FooLauncher.app/Contents/MacOS/l",
         text("/Applications/Foo.app")},
        {"/Applications/Foo.app/Contents/Resources/Inner.app/Contents/MacOS/inner",
         text("/Applications/Foo.app")},
        {"/Users/me/Applications/Bar Baz.app/Contents/MacOS/Bar Baz",
         text("/Users/me/Applications/Bar Baz.app")},
        {"/Applications/Xcode.app/Contents/Developer/usr/bin/git", std::nullopt},
        {"/Applications/Xcode.app/Contents/Developer/Platforms/iPhoneOS.platform/Library/x",
         std::nullopt},
        {"/Applications/Foo.app/Contents/Resources/bin/tool", std::nullopt},
        {"/Applications/Foo.app", std::nullopt},
        {"/Applications/Foo.app/", std::nullopt},
        {"/usr/local/bin/node", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::appBundle(QString::fromUtf8(row.path)), row.bundle) << row.path;
}

TEST(OriginTest, ClassifyOverTheParentChain) {
    const ProcSnapshot node = proc(500, "node", "/opt/homebrew/bin/node", {"node", "server.js"});
    const ProcSnapshot zsh = proc(400, "zsh", "/bin/zsh");
    const ProcSnapshot loginZsh = proc(400, "-zsh", "/bin/zsh");
    const ProcSnapshot iterm = proc(300, "iTerm2", "/Applications/iTerm.app/Contents/MacOS/iTerm2");
    const ProcSnapshot ghostty =
        proc(300, "ghostty", "/Applications/Ghostty.app/Contents/MacOS/ghostty");
    const ProcSnapshot claude =
        proc(350, "claude", "/Users/me/.local/bin/claude", {"claude"}, QStringLiteral("/src/web"));
    const ProcSnapshot claudeNoFolder = proc(350, "claude", "/Users/me/.local/bin/claude");
    const ProcSnapshot codex = proc(350, "node", "/opt/homebrew/bin/node",
                                    {"node", "/opt/homebrew/lib/node_modules/@openai/codex/x.js"},
                                    QStringLiteral("/src/api"));
    const ProcSnapshot fooMain = proc(200, "Foo", "/Applications/Foo.app/Contents/MacOS/Foo");
    const ProcSnapshot bareBundle = proc(200, "Foo", "/Applications/Foo.app");
    const ProcSnapshot code =
        proc(200, "Electron", "/Applications/Visual Studio Code.app/Contents/MacOS/Electron");
    const ProcSnapshot xcodeGit =
        proc(250, "git", "/Applications/Xcode.app/Contents/Developer/usr/bin/git");
    const ProcSnapshot helper = proc(600, "Foo Helper",
                                     "/Applications/Foo.app/Contents/Frameworks/Foo Helper.app/"
                                     "Contents/MacOS/Foo Helper");
    const ProcSnapshot daemon = proc(700, "agentd", "/usr/local/bin/agentd");
    const ProcSnapshot make = proc(450, "make", "/usr/bin/make");
    const ProcSnapshot python = proc(460, "python3", "/usr/bin/python3");
    const ProcSnapshot unnamed = proc(470, "", "");

    const std::optional<QString> noLabel;
    const auto label = [](const char* value) { return std::optional<QString>(value); };

    struct Row {
        QList<ProcSnapshot> chain;
        ProcSnapshot primary;
        std::optional<QString> label;
        Origin expected;
        const char* why;
    };
    const Row rows[] = {
        {{zsh, iterm}, node, noLabel, origin(Case::terminal, "iTerm"), "node under zsh in iTerm"},
        {{zsh, ghostty}, node, noLabel, origin(Case::terminal, "Ghostty"), "same in Ghostty"},
        {{claude, zsh, iterm},
         node,
         noLabel,
         origin(Case::agentSession, "Claude", QStringLiteral("/src/web")),
         "agent wins over the terminal it runs in"},
        {{zsh, claude, zsh, iterm},
         node,
         noLabel,
         origin(Case::agentSession, "Claude", QStringLiteral("/src/web")),
         "agent further up the chain"},
        {{claudeNoFolder},
         node,
         noLabel,
         origin(Case::agentSession, "Claude"),
         "unknown session folder stays absent"},
        {{codex, zsh},
         node,
         noLabel,
         origin(Case::agentSession, "Codex", QStringLiteral("/src/api")),
         "codex through node"},
        {{zsh, iterm},
         claude,
         noLabel,
         origin(Case::terminal, "iTerm"),
         "the agent itself is classified by its own parents"},
        {{claude},
         node,
         label("com.example.agent"),
         origin(Case::agentSession, "Claude", QStringLiteral("/src/web")),
         "agent wins over a launchd label"},
        {{zsh, iterm},
         node,
         label("com.example.agent"),
         origin(Case::terminal, "iTerm"),
         "terminal wins over a launchd label"},
        {{code},
         node,
         label("com.example.agent"),
         origin(Case::ide, "Visual Studio Code"),
         "IDE wins over a launchd label"},
        {{xcodeGit},
         node,
         noLabel,
         origin(Case::ide, "Xcode"),
         "a developer tool inside Xcode still names Xcode"},
        {{fooMain}, helper, noLabel, origin(Case::appHelper, "Foo"), "helper of Foo"},
        {{helper, fooMain},
         node,
         noLabel,
         origin(Case::appHelper, "Foo"),
         "nearest bundle process names the outermost app"},
        {{bareBundle}, node, noLabel, origin(Case::appHelper, "Foo"), "parent path ending in .app"},
        {{fooMain},
         helper,
         label("com.foo.helper"),
         origin(Case::launchdJob, "com.foo.helper"),
         "label beats an app parent"},
        {{},
         daemon,
         label("com.example.agent"),
         origin(Case::launchdJob, "com.example.agent"),
         "parent launchd with a label"},
        {{},
         fooMain,
         label("application.com.foo.Foo.123.456"),
         origin(Case::app),
         "launched app with an application label"},
        {{}, fooMain, noLabel, origin(Case::app), "bundle without any label"},
        {{},
         daemon,
         label("application.com.foo.Foo.1.2"),
         origin(Case::app),
         "application label without a bundle is still an app"},
        {{}, daemon, noLabel, origin(Case::detached), "nothing registers it"},
        {{}, bareBundle, noLabel, origin(Case::detached), "a bare .app path is no helper location"},
        {{},
         xcodeGit,
         noLabel,
         origin(Case::detached),
         "a developer tool inside Xcode is not the Xcode app"},
        {{fooMain},
         node,
         label("application.com.foo.Foo.1.2"),
         origin(Case::appHelper, "Foo"),
         "application labels never make a launchd job"},
        {{zsh}, node, noLabel, origin(Case::shell), "plain shell"},
        {{make, loginZsh}, node, noLabel, origin(Case::shell), "login shell further up"},
        {{zsh, fooMain},
         node,
         noLabel,
         origin(Case::appHelper, "Foo"),
         "an app parent beats a shell"},
        {{python}, node, noLabel, origin(Case::unknown), "no recognisable parent"},
        {{unnamed}, node, noLabel, origin(Case::unknown), "a parent with no name or path"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::classify(row.chain, row.primary, row.label), row.expected) << row.why;
}

TEST(OriginTest, OriginTextForEveryCase) {
    struct Row {
        Origin origin;
        const char* text;
    };
    const Row rows[] = {
        {origin(Case::launchdJob, "com.example.agent"), "launchd job"},
        {origin(Case::appHelper, "Foo Bar"), "Started by Foo Bar"},
        {origin(Case::agentSession, "Claude", QStringLiteral("/src")), "Claude session"},
        {origin(Case::ide, "Xcode"), "Started from Xcode"},
        {origin(Case::terminal, "iTerm"), "Started in iTerm"},
        {origin(Case::app), "App"},
        {origin(Case::shell), "Started from a shell"},
        {origin(Case::detached), "Detached (no owner)"},
        {origin(Case::unknown), "Unknown"},
        {origin(Case::appHelper, "100%1 Tool"), "Started by 100%1 Tool"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::originText(row.origin), QString::fromUtf8(row.text));
}

TEST(OriginTest, PartOfBuildByPrimaryOrAnyParentName) {
    const ProcSnapshot clang = proc(10, "clang", "/usr/bin/clang");
    const ProcSnapshot make = proc(9, "make", "/usr/bin/make");
    const ProcSnapshot zsh = proc(8, "zsh", "/bin/zsh");
    const ProcSnapshot terminal =
        proc(7, "Terminal", "/System/Applications/Utilities/Terminal.app/Contents/MacOS/Terminal");
    const ProcSnapshot java = proc(11, "java", "/usr/bin/java");
    const ProcSnapshot dart = proc(12, "dart", "/opt/flutter/bin/dart");
    const ProcSnapshot gradle = proc(13, "gradle", "/opt/gradle/bin/gradle");
    const ProcSnapshot makeUpper = proc(14, "Make", "/usr/local/bin/Make");

    struct Row {
        ProcSnapshot primary;
        QList<ProcSnapshot> chain;
        bool expected;
        const char* why;
    };
    const Row rows[] = {
        {clang, {make, zsh, terminal}, true, "compiler run by make in a terminal"},
        {make, {zsh}, true, "the build tool itself"},
        {java, {zsh, terminal}, false, "java is no build tool"},
        {dart, {}, false, "dart is no build tool"},
        {java, {gradle, zsh}, true, "java under gradle"},
        {java, {zsh, gradle}, true, "a build tool anywhere in the chain"},
        {makeUpper, {}, false, "names are case-sensitive"},
        {proc(1, "", ""), {}, false, "empty names"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Origins::isPartOfBuild(row.primary, row.chain), row.expected) << row.why;
}
