#pragma once

#include <optional>

#include <QIcon>
#include <QPixmap>
#include <QString>

#include "inventory/BackgroundItem.h"

class QPainter;
class QPalette;
class QRectF;

// An item's picture: the app's own icon when it has one, otherwise a symbol
// chosen by rule, drawn over a rounded square. App icons are cached per bundle
// path (main thread only) until the panel closes.
namespace ItemIcon {

// Symbols come from the icon-naming scheme: Adwaita draws them wherever the
// desktop's theme lacks one, and is the theme outright where there is none
// (a bare X server, offscreen).
void useSymbolTheme();

// The icon-theme name that stands for a symbol identifier; empty when the
// table has none.
QString themeIconName(const QString& symbol);

// The themed icon for a symbol identifier (null when the theme lacks it).
QIcon symbolIcon(const QString& symbol);

// The 32-point icon of an app bundle, cached under its path. Paths on
// external volumes and paths that do not exist give none.
std::optional<QPixmap> appIcon(const QString& bundlePath, std::optional<Pid> pid = std::nullopt);

void clearIconCache();
qsizetype iconCacheSize();

// Draws the icon of `item` into a square `rect`.
void paint(QPainter& painter, const QRectF& rect, const BackgroundItem& item,
           const QPalette& palette);

// The same with the parts already known: the symbol and the bundle path.
void paint(QPainter& painter, const QRectF& rect, const QString& symbol,
           const std::optional<QString>& bundlePath, std::optional<Pid> pid,
           const QPalette& palette);

} // namespace ItemIcon
