// Catches: an os-release or login.defs line read wrongly (quoted, commented,
// a longer key with the same start), Debian's versioned compilers not taken for
// build tools, session-daemon patterns that match too much or too little.
// (QUILLMARSH_HOST ignored fails every test run under the macOS rules.)
#include <gtest/gtest.h>

#include "os/HostRules.h"

namespace {

TEST(LinuxHostRulesTest, ReadsTheSystemFiles) {
    EXPECT_EQ(Hosts::osReleaseName("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                   "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"),
              QStringLiteral("Debian GNU/Linux"));
    EXPECT_EQ(Hosts::osReleaseName("NAME=Fedora\n"), QStringLiteral("Fedora"));
    EXPECT_EQ(Hosts::osReleaseName("NAMES=x\nID=arch\n"), QString());
    EXPECT_EQ(Hosts::loginDefsFirstUid("#UID_MIN 5\nUID_MIN\t\t\t 1000\nUID_MAX 60000\n"), 1000u);
    EXPECT_EQ(Hosts::loginDefsFirstUid("SYS_UID_MIN 100\nUID_MINX 7\n"), std::nullopt);
    EXPECT_EQ(Hosts::linuxRules(QString()).words.systemName, QStringLiteral("Linux"));
}

TEST(LinuxHostRulesTest, NamesProcessesAsLinuxRunsThem) {
    const HostRules linux = Hosts::linuxRules();
    // Build tools, session daemons, neither.
    const std::pair<QStringList, std::pair<bool, bool>> groups[] = {
        {{"x86_64-linux-gnu-g++-12", "aarch64-linux-gnu-ld.gold", "cc1plus", "gcc-12"},
         {true, false}},
        {{"xdg-desktop-portal-gnome", "xdg-desktop-portal", "gvfsd-fuse", "gsd-media-keys",
          "pipewire"},
         {false, true}},
        {{"python3.11", "node-18", "pipewire-media", "dbus-daemonized", "gsd"}, {false, false}},
    };
    for (const auto& [names, kind] : groups) {
        for (const QString& name : names) {
            EXPECT_EQ(Hosts::isBuildTool(linux, name), kind.first) << qPrintable(name);
            EXPECT_EQ(Hosts::isSessionDaemon(linux, name), kind.second) << qPrintable(name);
        }
    }
    EXPECT_FALSE(Hosts::isBuildTool(Hosts::macosRules(), QStringLiteral("ninja")));
}

} // namespace
