#pragma once

#include <QString>

// The desktop's file manager and default applications.
namespace FileManager {

// Shows the file selected in a file-manager window; where no file manager
// answers, opens the folder that holds it.
void reveal(const QString& path);

// Opens the file with its default application.
void open(const QString& path);

} // namespace FileManager
