#include "app/QuillmarshApp.h"

#include <cstdio>

#include <QCoreApplication>
#include <QLocale>

#include "app/JsonReport.h"
#include "inventory/EnglishPlurals.h"

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
    // Report mode installs no translation table, so translated texts fall
    // back to their English source; the locale decides number and date forms.
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

int runReport(int& argc, char** argv, bool includeAll) {
    // The application object lets the English singular forms ("1 process")
    // be installed; nothing else of it is used.
    QCoreApplication application(argc, argv);
    EnglishPlurals plurals;
    QCoreApplication::installTranslator(&plurals);
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
        return runReport(argc, argv, options.includeAll);
    }
    return runWindow();
}

} // namespace QuillmarshApp
