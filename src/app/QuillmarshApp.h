#pragma once

#include <QStringList>

// The start of the program: the choice between window mode and report mode.
namespace QuillmarshApp {

enum class RunMode { window, report };

struct StartOptions {
    RunMode mode = RunMode::window;
    bool includeAll = false; // only meaningful in report mode

    bool operator==(const StartOptions&) const = default;
};

// Exact, whole-argument matching over every element, the program path included.
StartOptions parseArguments(const QStringList& arguments);

// Makes every localized text of this process English, for report mode.
void forceEnglish();

// The process entry; returns the exit status.
int main(int argc, char** argv);

} // namespace QuillmarshApp
