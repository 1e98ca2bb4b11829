#pragma once

#include <optional>

#include <QString>

// Locations the tests need, fixed at build time.
namespace TestPaths {

// ../shared/samples/launchd next to the checkout, or none when absent (tests
// that read it skip then).
std::optional<QString> launchdSamples();

// The folder of stand-in system tools (launchctl, sfltool, xcrun).
QString standIns();

// The built quillmarsh executable.
QString binary();

} // namespace TestPaths
