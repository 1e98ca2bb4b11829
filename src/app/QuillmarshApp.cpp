#include "app/QuillmarshApp.h"

#include <cstdio>

#include <QLocale>

#include "app/JsonReport.h"

namespace QuillmarshApp {

StartOptions parseArguments(const QStringList& arguments) {
    StartOptions options;
    if (arguments.contains(QStringLiteral("--json"))) {
        options.mode = RunMode::report;
        options.includeAll = arguments.contains(QStringLiteral("--all"));
    }
    return options;
}

void forceEnglish() {
    // Report mode installs no translator, so translated texts fall back to
    // their English source; the locale decides number and date forms.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

namespace {

QStringList argumentList(int argc, char** argv) {
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

int runReport(bool includeAll) {
    return JsonReport::printJSONReport(includeAll);
}

int runWindow() {
    std::fputs("Quillmarsh: the window is not built yet; use --json for the report.\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const StartOptions options = parseArguments(argumentList(argc, argv));
    if (options.mode == RunMode::report) {
        forceEnglish();
        return runReport(options.includeAll);
    }
    return runWindow();
}

} // namespace QuillmarshApp
