#include "support/TempHome.h"

#include <QDir>
#include <QFile>

TempHome::TempHome()
    : oldHome_(qgetenv("HOME")), oldDataHome_(qgetenv("XDG_DATA_HOME")),
      oldConfigHome_(qgetenv("XDG_CONFIG_HOME")),
      hadDataHome_(qEnvironmentVariableIsSet("XDG_DATA_HOME")),
      hadConfigHome_(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
    qputenv("HOME", QFile::encodeName(dir_.path()));
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_CONFIG_HOME");
}

TempHome::~TempHome() {
    qputenv("HOME", oldHome_);
    if (hadDataHome_)
        qputenv("XDG_DATA_HOME", oldDataHome_);
    if (hadConfigHome_)
        qputenv("XDG_CONFIG_HOME", oldConfigHome_);
}

QString TempHome::makeFolder(const QString& relative) const {
    const QString folder = dir_.path() + u'/' + relative;
    QDir().mkpath(folder);
    return folder;
}
