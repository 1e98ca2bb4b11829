#pragma once

#include <filesystem>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// HOME points at a temporary folder (the XDG data and config variables are
// cleared so they follow it) until destruction restores them, the XDG search
// lists and the desktop a test may set, and removes it, names that are not
// UTF-8 included.
class TempHome {
public:
    TempHome() {
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS",
              "XDG_CURRENT_DESKTOP"})
            saved_.append({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        qputenv("HOME", QFile::encodeName(dir_.path()));
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("XDG_CONFIG_HOME");
    }
    ~TempHome() {
        std::filesystem::remove_all(QFile::encodeName(dir_.path()).toStdString());
        for (const Saved& variable : saved_) {
            if (variable.wasSet)
                qputenv(variable.name, variable.value);
            else
                qunsetenv(variable.name);
        }
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return dir_.path(); }

    // Creates folders below the home and returns the absolute path.
    QString makeFolder(const QString& relative) const {
        const QString folder = dir_.path() + u'/' + relative;
        QDir().mkpath(folder);
        return folder;
    }

private:
    struct Saved {
        const char* name;
        QByteArray value;
        bool wasSet;
    };
    QList<Saved> saved_;
    QTemporaryDir dir_;
};
