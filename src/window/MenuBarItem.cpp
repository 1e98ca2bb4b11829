#include "window/MenuBarItem.h"

#include <cmath>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QSystemTrayIcon>

#include "model/AppModel.h"
#include "window/Panel.h"

namespace MenuBarIcon {

namespace {

// The pixel sizes trays ask for: 16 to 24 on panels (a 22-pixel panel may
// give 20), more on dense screens.
constexpr int sizes[] = {16, 18, 20, 22, 24, 32, 48, 64};

QString tr(const char* text, int n = -1) {
    return QCoreApplication::translate("MenuBarItem", text, nullptr, n);
}

// The glyph's three parts, in points.
QPainterPath tip() {
    QPainterPath path;
    path.moveTo(4.6, 6.2);
    path.lineTo(7.4, 2.6);
    path.lineTo(8.6, 3.6);
    path.lineTo(10.4, 1.2);
    path.lineTo(13.4, 6.2);
    path.closeSubpath();
    return path;
}

const QLineF line(0.8, 7.1, 17.2, 7.1);
constexpr qreal lineWidth = 1.1;
constexpr qreal outlineWidth = 1.2;

QPainterPath body() {
    QPainterPath path;
    path.moveTo(3.9, 8.6);
    path.lineTo(14.3, 8.6);
    path.lineTo(15.2, 11.0);
    path.lineTo(12.2, 14.6);
    path.lineTo(9.2, 17.2);
    path.lineTo(6.2, 14.8);
    path.lineTo(3.0, 11.0);
    path.closeSubpath();
    return path;
}

// The glyph's shape widened by `rim` points on every side, filled.
void drawRim(QPainter& painter, const QColor& color, qreal rim) {
    painter.save();
    QPen pen(color, 2 * rim);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(color);
    painter.drawPath(tip());
    pen.setWidthF(2 * rim + outlineWidth);
    painter.setPen(pen);
    painter.drawPath(body());
    pen.setWidthF(2 * rim + lineWidth);
    painter.setPen(pen);
    painter.drawLine(line);
    painter.restore();
}

QFont badgeFont(qreal pixelSize) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(1, qRound(pixelSize)));
    font.setWeight(QFont::Bold);
    return font;
}

void drawBadge(QPainter& painter, int pixels, const QString& text, const QPalette& palette) {
    const qreal height = std::round(pixels * 0.56);
    const qreal padding = height * 0.2;
    // The largest font up to the badge's height less a pixel whose text fits the
    // width of the picture.
    QFont font = badgeFont(height - 1);
    qreal textWidth = QFontMetricsF(font).horizontalAdvance(text);
    while (textWidth + 2 * padding > pixels && font.pixelSize() > 6) {
        font.setPixelSize(font.pixelSize() - 1);
        textWidth = QFontMetricsF(font).horizontalAdvance(text);
    }
    const qreal width = std::min<qreal>(pixels, std::max(height, textWidth + 2 * padding));
    const QRectF badge(pixels - width, pixels - height, width, height);
    const qreal radius = height / 2;
    painter.save();
    // A rim of the window colour parts the badge from the glyph beneath.
    painter.setPen(QPen(palette.color(QPalette::Window), std::max(1.0, pixels / 22.0)));
    painter.setBrush(palette.color(QPalette::Highlight));
    painter.drawRoundedRect(badge, radius, radius);
    painter.setPen(palette.color(QPalette::HighlightedText));
    painter.setFont(font);
    painter.drawText(badge, Qt::AlignCenter | Qt::TextSingleLine, text);
    painter.restore();
}

} // namespace

void drawGlyph(QPainter& painter, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(tip(), color);

    QPen pen(color, lineWidth);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawLine(line);

    QColor translucent = color;
    translucent.setAlphaF(static_cast<float>(color.alphaF() * 0.28));
    painter.fillPath(body(), translucent);
    QPen outline(color, outlineWidth);
    outline.setJoinStyle(Qt::RoundJoin);
    painter.strokePath(body(), outline);
    painter.restore();
}

QString badgeText(int count) {
    if (count > 99)
        return QLocale().toString(99) + QLatin1Char('+');
    return QLocale().toString(count);
}

QImage image(int pixels, std::optional<int> count, const QPalette& palette) {
    QImage picture(QSize(pixels, pixels), QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.save();
    // The glyph fills the square but for its rim: about one pixel at 22.
    const qreal rim = 1.2 * points / 22;
    const qreal scale = pixels / (points + 2 * rim);
    painter.scale(scale, scale);
    painter.translate(rim, rim);
    drawRim(painter, palette.color(QPalette::Window), rim);
    drawGlyph(painter, palette.color(QPalette::WindowText));
    painter.restore();
    if (count)
        drawBadge(painter, pixels, badgeText(*count), palette);
    painter.end();
    return picture;
}

QIcon icon(std::optional<int> count, const QPalette& palette) {
    QIcon result;
    for (int pixels : sizes)
        result.addPixmap(QPixmap::fromImage(image(pixels, count, palette)));
    return result;
}

QString toolTip(std::optional<int> count) {
    if (!count)
        return QStringLiteral("Quillmarsh");
    //: %Ln is the number of running background items
    return tr("Quillmarsh: %Ln background items", *count);
}

} // namespace MenuBarIcon

MenuBarItem::MenuBarItem(AppModel* model, Panel* panel, QObject* parent)
    : QObject(parent), m_model(model), m_panel(panel) {
    m_tray = new QSystemTrayIcon(this);
    m_menu = new QMenu();
    QAction* open = m_menu->addAction(tr("Open Quillmarsh"));
    connect(open, &QAction::triggered, this, [this] {
        if (m_panel && !m_panel->isVisible())
            m_panel->showAt(m_tray->geometry());
    });
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(tr("Quit Quillmarsh"));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
                    return;
                if (m_panel)
                    m_panel->toggle(m_tray->geometry());
            });
    connect(model, &AppModel::inventoryChanged, this, &MenuBarItem::updateImage);
    connect(model, &AppModel::showCountChanged, this, &MenuBarItem::updateImage);
    // The application object hears of a new palette (a new theme).
    qApp->installEventFilter(this);
    updateImage();
    m_tray->show();
}

MenuBarItem::~MenuBarItem() {
    // The tray icon goes first: it still refers to its menu.
    delete m_tray;
    delete m_menu;
}

std::optional<int> MenuBarItem::countFor(const AppModel& model) {
    const int count = model.menuBarCount();
    if (!model.showCount() || count < 1)
        return std::nullopt;
    return count;
}

void MenuBarItem::updateImage() {
    if (!m_model)
        return;
    const std::optional<int> count = countFor(*m_model);
    if (m_rendered && count == m_shownCount)
        return;
    m_shownCount = count;
    render();
}

void MenuBarItem::render() {
    m_rendered = true;
    m_tray->setIcon(MenuBarIcon::icon(m_shownCount, QGuiApplication::palette()));
    m_tray->setToolTip(MenuBarIcon::toolTip(m_shownCount));
}

bool MenuBarItem::eventFilter(QObject* watched, QEvent* event) {
    // The theme changed: the picture takes the new colours.
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && m_rendered)
        render();
    return QObject::eventFilter(watched, event);
}
