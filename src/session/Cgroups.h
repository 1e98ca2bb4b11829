#pragma once

#include <optional>

#include <QString>

// Which unit of the user's service manager a process runs in.
namespace Cgroups {

// The service of the user's manager that a cgroup path lies in:
// ".../user@1000.service/app.slice/foo.service[/sub]" -> "foo.service". None
// for scopes, slices, the manager itself, cgroups outside it and garbage.
std::optional<QString> userUnitOf(const QString& cgroupPath);

// The desktop file that a unit generated for an autostart entry stands for:
// "app-org.example.Foo\x2dBar@autostart.service" -> "org.example.Foo-Bar.desktop".
std::optional<QString> autostartEntryOf(const QString& unitName);

} // namespace Cgroups
