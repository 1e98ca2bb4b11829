#pragma once

#include <QSet>
#include <QString>
#include <QStringView>

// The fixed name sets the inventory rules share. Built once; all comparisons
// are exact and case-sensitive.
namespace NameSets {

const QSet<QString>& interpreterNames();
const QSet<QString>& shellNames();
const QSet<QString>& genericScriptNames();
const QSet<QString>& labelNoiseComponents();
const QSet<QString>& ideNames();
const QSet<QString>& terminalNames();
const QSet<QString>& buildToolNames();

// In interpreterNames, or starting with "python".
bool isInterpreter(QStringView fileName);

// Starts with one of the Apple system path prefixes.
bool isAppleSystemPath(QStringView path);

} // namespace NameSets
