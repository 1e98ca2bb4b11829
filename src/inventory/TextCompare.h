#pragma once

#include <QCollator>
#include <QString>

// Finder-like text comparison: case- and diacritic-insensitive matching and
// an ordering that compares numbers by value.
namespace TextCompare {

// `text` contains `part`, ignoring case and diacritics. An empty part is
// contained in every text.
bool localizedStandardContains(const QString& text, const QString& part);

// A collator for the order a file manager shows: case-insensitive, numbers
// by value, in the user's language (English where none is set).
QCollator standardCollator();

// The folded form used by localizedStandardContains: decomposed, combining
// marks dropped, case-folded. Callers matching many texts against one part
// fold the part once.
QString fold(const QString& text);

} // namespace TextCompare
