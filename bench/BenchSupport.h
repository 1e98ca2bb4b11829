#pragma once

#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include <QSettings>
#include <QTemporaryDir>

#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "os/ProcReader.h"

namespace BenchSupport {

// Only what every reader must do: list the pids and read each stat file. The
// floor the process reader and a refresh are measured against.
inline size_t bareStatLoop() {
    size_t bytes = 0;
    char path[64];
    char buffer[2048];
    for (const Pid pid : ProcReader::allPids()) {
        std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t count = read(fd, buffer, sizeof buffer);
        bytes += count > 0 ? static_cast<size_t>(count) : 0;
        close(fd);
    }
    return bytes;
}

// An app model whose settings and login entry live in `dir`.
inline AppModel::Environment modelEnvironment(const QTemporaryDir& dir) {
    AppModel::Environment environment;
    const QString settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    environment.settings = [settingsPath] {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
    };
    environment.loginEntry.path = dir.filePath(QStringLiteral("quillmarsh.desktop"));
    return environment;
}

} // namespace BenchSupport
