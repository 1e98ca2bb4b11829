#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A temporary home folder for one test: HOME points at it (and the XDG data
// and config variables are cleared so they follow HOME) until destruction,
// when the previous values come back and the folder is removed.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return dir_.path(); }

    // Creates folders below the home and returns the absolute path.
    QString makeFolder(const QString& relative) const;

private:
    QTemporaryDir dir_;
    QByteArray oldHome_;
    QByteArray oldDataHome_;
    QByteArray oldConfigHome_;
    bool hadDataHome_ = false;
    bool hadConfigHome_ = false;
};
