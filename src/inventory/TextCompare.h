#pragma once

#include <QString>

// Finder-like text comparison: case- and diacritic-insensitive matching and
// an ordering that compares numbers by value.
namespace TextCompare {

// `text` contains `part`, ignoring case and diacritics. An empty part is
// contained in every text.
bool localizedStandardContains(const QString& text, const QString& part);

// The folded form used by localizedStandardContains: decomposed, combining
// marks dropped, case-folded. Callers matching many texts against one part
// fold the part once.
QString fold(const QString& text);

} // namespace TextCompare
