#include "app/QuillmarshApp.h"

#include <gtest/gtest.h>

using QuillmarshApp::RunMode;
using QuillmarshApp::StartOptions;

namespace {

StartOptions parse(std::initializer_list<const char*> args) {
    QStringList list;
    for (const char* arg : args)
        list.append(QString::fromUtf8(arg));
    return QuillmarshApp::parseArguments(list);
}

} // namespace

TEST(RunModeTest, ReportModeNeedsAnExactJsonArgumentAnywhere) {
    struct Case {
        std::initializer_list<const char*> args;
        RunMode mode;
        bool includeAll;
    };
    const Case cases[] = {
        {{"/usr/bin/quillmarsh"}, RunMode::window, false},
        {{"/usr/bin/quillmarsh", "--json"}, RunMode::report, false},
        {{"/usr/bin/quillmarsh", "x", "--json", "--json"}, RunMode::report, false},
        {{"/usr/bin/quillmarsh", "--all", "--json"}, RunMode::report, true},
        {{"/usr/bin/quillmarsh", "--all"}, RunMode::window, false},
        {{"/usr/bin/quillmarsh", "--JSON"}, RunMode::window, false},
        {{"/usr/bin/quillmarsh", "--json=1"}, RunMode::window, false},
        {{"/usr/bin/quillmarsh", " --json"}, RunMode::window, false},
        {{"--json"}, RunMode::report, false},
    };
    for (const Case& c : cases) {
        const StartOptions options = parse(c.args);
        EXPECT_EQ(options.mode, c.mode) << *c.args.begin();
        EXPECT_EQ(options.includeAll, c.includeAll);
    }
}
