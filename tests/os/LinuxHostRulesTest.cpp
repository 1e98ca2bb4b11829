// Catches: an os-release or login.defs line read wrongly (quoted, commented,
// a longer key with the same start), Debian's versioned compilers not taken for
// build tools, session-daemon patterns that match too much or too little, and
// QUILLMARSH_HOST ignored.
#include <gtest/gtest.h>

#include <cstdlib>

#include "os/HostRules.h"

namespace {

TEST(LinuxHostRulesTest, ReadsTheSystemFiles) {
    EXPECT_EQ(Hosts::osReleaseName("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                   "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"),
              QStringLiteral("Debian GNU/Linux"));
    EXPECT_EQ(Hosts::osReleaseName("NAME=Fedora\n"), QStringLiteral("Fedora"));
    EXPECT_EQ(Hosts::osReleaseName("ID=arch\n"), QString());
    EXPECT_EQ(Hosts::loginDefsFirstUid("#UID_MIN 5\nUID_MIN\t\t\t 1000\nUID_MAX 60000\n"), 1000u);
    EXPECT_EQ(Hosts::loginDefsFirstUid("SYS_UID_MIN 100\nUID_MINX 7\n"), std::nullopt);
    EXPECT_EQ(Hosts::linuxRules(QString()).words.systemName, QStringLiteral("Linux"));
}

TEST(LinuxHostRulesTest, NamesProcessesAsLinuxRunsThem) {
    const HostRules linux = Hosts::linuxRules();
    const struct {
        const char* name;
        bool buildTool;
        bool sessionDaemon;
    } cases[] = {
        {"x86_64-linux-gnu-g++-12", true, false},
        {"aarch64-linux-gnu-ld.gold", true, false},
        {"cc1plus", true, false},
        {"gcc-12", true, false},
        {"python3.11", false, false},
        {"node-18", false, false},
        {"xdg-desktop-portal-gnome", false, true},
        {"xdg-desktop-portal", false, true},
        {"gvfsd-fuse", false, true},
        {"gsd-media-keys", false, true},
        {"pipewire", false, true},
        {"pipewire-media", false, false},
        {"dbus-daemonized", false, false},
        {"gsd", false, false},
    };
    for (const auto& row : cases) {
        const QString name = QString::fromUtf8(row.name);
        EXPECT_EQ(Hosts::isBuildTool(linux, name), row.buildTool) << row.name;
        EXPECT_EQ(Hosts::isSessionDaemon(linux, name), row.sessionDaemon) << row.name;
    }
    EXPECT_FALSE(Hosts::isBuildTool(Hosts::macosRules(), QStringLiteral("ninja")));
}

TEST(LinuxHostRulesTest, TheEnvironmentChoosesTheRules) {
    ::setenv("QUILLMARSH_HOST", "macos", 1);
    EXPECT_EQ(Hosts::fromSystem().system, HostRules::System::macos);
    ::setenv("QUILLMARSH_HOST", "linux", 1);
    EXPECT_EQ(Hosts::fromSystem().system, HostRules::System::linux);
    ::unsetenv("QUILLMARSH_HOST");
    EXPECT_EQ(Hosts::fromSystem().system, HostRules::System::linux); // this machine
}

} // namespace
