#include "window/ItemIcon.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStandardPaths>

#include "inventory/ItemPresentation.h"
#include "window/ItemBadge.h"

namespace ItemIcon {

namespace {

struct SymbolName {
    const char* symbol;
    const char* themeName;
};

// Symbol identifiers and the freedesktop names that draw them in the
// fallback theme (Adwaita).
constexpr SymbolName symbolTable[] = {
    {"iphone", "phone-apple-iphone-symbolic"},
    {"sparkles", "starred-symbolic"},
    {"mug", "emoji-food-symbolic"},
    {"network", "network-wired-symbolic"},
    {"gearshape.2", "emblem-system-symbolic"},
    {"terminal", "utilities-terminal-symbolic"},
    {"calendar.badge.clock", "appointment-soon-symbolic"},
    {"moon.zzz", "weather-clear-night-symbolic"},
    {"pause.circle", "media-playback-pause-symbolic"},
    {"arrow.clockwise", "view-refresh-symbolic"},
    {"ellipsis.circle", "view-more-symbolic"},
    {"checkmark.circle", "emblem-ok-symbolic"},
    {"magnifyingglass", "system-search-symbolic"},
    {"chevron.left", "go-previous-symbolic"},
    {"gearshape", "preferences-system-symbolic"},
};

constexpr int cachedIconPoints = 32;

// The process-wide app icon cache; touched from the main thread only.
QHash<QString, QPixmap>& iconCache() {
    static QHash<QString, QPixmap> cache;
    return cache;
}

} // namespace

void useSymbolTheme() {
    // Platforms without a desktop theme (offscreen, minimal) search only the
    // resources; the shared data folders hold the installed themes.
    QStringList paths = QIcon::themeSearchPaths();
    const QStringList shared =
        QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                  QStandardPaths::LocateDirectory);
    for (const QString& path : shared) {
        if (!paths.contains(path))
            paths.append(path);
    }
    QIcon::setThemeSearchPaths(paths);
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

QString themeIconName(const QString& symbol) {
    for (const SymbolName& entry : symbolTable) {
        if (symbol == QLatin1String(entry.symbol))
            return QLatin1String(entry.themeName);
    }
    return {};
}

QIcon symbolIcon(const QString& symbol) {
    const QString name = themeIconName(symbol);
    if (name.isEmpty())
        return {};
    return QIcon::fromTheme(name);
}

std::optional<QPixmap> appIcon(const QString& bundlePath, std::optional<Pid> pid) {
    // No platform service here maps a pid to a running application's icon,
    // so the pid only matters where one exists.
    (void)pid;
    QHash<QString, QPixmap>& cache = iconCache();
    if (const auto found = cache.constFind(bundlePath); found != cache.cend())
        return *found;
    if (bundlePath.isEmpty() || bundlePath.startsWith(QLatin1String("/Volumes/")))
        return std::nullopt;
    const QFileInfo info(bundlePath);
    if (!info.exists())
        return std::nullopt;
    const QIcon icon = QFileIconProvider().icon(info);
    if (icon.isNull())
        return std::nullopt;
    // Twice the point size, so the picture stays sharp on dense screens.
    QPixmap pixmap = icon.pixmap(QSize(cachedIconPoints, cachedIconPoints), 2.0);
    if (pixmap.isNull())
        return std::nullopt;
    cache.insert(bundlePath, pixmap);
    return pixmap;
}

void clearIconCache() {
    iconCache().clear();
}

qsizetype iconCacheSize() {
    return iconCache().size();
}

void paint(QPainter& painter, const QRectF& rect, const BackgroundItem& item,
           const QPalette& palette) {
    paint(painter, rect, ItemPresentation::symbolName(item), item.appBundlePath,
          item.primary ? std::optional(item.primary->pid) : std::nullopt, palette);
}

void paint(QPainter& painter, const QRectF& rect, const QString& symbol,
           const std::optional<QString>& bundlePath, std::optional<Pid> pid,
           const QPalette& palette) {
    if (bundlePath) {
        if (const std::optional<QPixmap> icon = appIcon(*bundlePath, pid)) {
            painter.save();
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawPixmap(rect, *icon, QRectF(icon->rect()));
            painter.restore();
            return;
        }
    }

    const qreal size = rect.width();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath square;
    square.addRoundedRect(rect, size * 0.25, size * 0.25);
    painter.fillPath(square, ItemBadge::quaternaryFill(palette));

    const QIcon icon = symbolIcon(symbol);
    if (!icon.isNull()) {
        const qreal glyph = size * 0.6;
        const QRectF glyphRect(rect.center().x() - glyph / 2, rect.center().y() - glyph / 2, glyph,
                               glyph);
        const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
        QPixmap pixmap = icon.pixmap(QSize(qRound(glyph), qRound(glyph)), ratio);
        // Symbolic icons come in one dark grey; paint them in the secondary
        // text colour so they read on light and dark palettes alike.
        if (!pixmap.isNull()) {
            QPainter tint(&pixmap);
            tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
            tint.fillRect(pixmap.rect(), ItemBadge::secondaryColor(palette));
            tint.end();
            painter.drawPixmap(glyphRect, pixmap, QRectF(pixmap.rect()));
        }
    }
    painter.restore();
}

} // namespace ItemIcon
