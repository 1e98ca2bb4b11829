#include "app/QuillmarshApp.h"

#include <cstdio>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QLocale>

#include "inventory/EnglishPlurals.h"
#include "os/UserHome.h"
#include "report/JsonReport.h"

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
    EnglishPlurals::install();
    return JsonReport::printJSONReport(includeAll);
}

// The folder of the running executable: /proc/self/exe where it exists,
// else the program path as started.
QString executableFolder(const char* programPath) {
    QFileInfo self(QStringLiteral("/proc/self/exe"));
    QString path = self.exists() ? self.canonicalFilePath() : QString();
    if (path.isEmpty() && programPath)
        path = QFileInfo(QString::fromLocal8Bit(programPath)).absoluteFilePath();
    return QFileInfo(path).absolutePath();
}

// The window lives in its own library so that report mode never loads the
// GUI libraries. It sits next to the executable in the build tree and in
// lib/ (or lib/quillmarsh/) beside bin/ when installed.
int runWindow(int argc, char** argv) {
    using WindowMain = int (*)(int, char**);
    const QString folder = executableFolder(argc > 0 ? argv[0] : nullptr);
    const QStringList candidates = {
        folder + QStringLiteral("/libquillmarsh_window.so"),
        folder + QStringLiteral("/../lib/libquillmarsh_window.so"),
        folder + QStringLiteral("/../lib/quillmarsh/libquillmarsh_window.so"),
    };
    QString failure;
    for (const QString& candidate : candidates) {
        if (!QFileInfo::exists(candidate))
            continue;
        QLibrary library(candidate);
        const auto entry = reinterpret_cast<WindowMain>(library.resolve("quillmarsh_window_main"));
        if (entry)
            return entry(argc, argv);
        failure = library.errorString();
    }
    if (failure.isEmpty())
        failure = QStringLiteral("libquillmarsh_window.so not found next to %1").arg(folder);
    std::fprintf(stderr,
                 "quillmarsh: cannot load the window (%s); --json still prints the report.\n",
                 failure.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    UserHome::fillEnvironment();
    const StartOptions options = parseArguments(argumentList(argc, argv));
    if (options.mode == RunMode::report) {
        forceEnglish();
        return runReport(argc, argv, options.includeAll);
    }
    return runWindow(argc, argv);
}

} // namespace QuillmarshApp
