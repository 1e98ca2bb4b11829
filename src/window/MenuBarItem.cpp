#include "window/MenuBarItem.h"

#include <cmath>

#include <QAction>
#include <QApplication>
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

constexpr qreal countGap = 3;

QFont countFont() {
    QFont font = QGuiApplication::font();
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    return font;
}

} // namespace

void drawGlyph(QPainter& painter, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);

    QPainterPath tip;
    tip.moveTo(4.6, 6.2);
    tip.lineTo(7.4, 2.6);
    tip.lineTo(8.6, 3.6);
    tip.lineTo(10.4, 1.2);
    tip.lineTo(13.4, 6.2);
    tip.closeSubpath();
    painter.fillPath(tip, color);

    QPen line(color, 1.1);
    line.setCapStyle(Qt::RoundCap);
    painter.setPen(line);
    painter.drawLine(QPointF(0.8, 7.1), QPointF(17.2, 7.1));

    QPainterPath body;
    body.moveTo(3.9, 8.6);
    body.lineTo(14.3, 8.6);
    body.lineTo(15.2, 11.0);
    body.lineTo(12.2, 14.6);
    body.lineTo(9.2, 17.2);
    body.lineTo(6.2, 14.8);
    body.lineTo(3.0, 11.0);
    body.closeSubpath();
    QColor translucent = color;
    translucent.setAlphaF(static_cast<float>(color.alphaF() * 0.28));
    painter.fillPath(body, translucent);
    QPen outline(color, 1.2);
    outline.setJoinStyle(Qt::RoundJoin);
    painter.strokePath(body, outline);
    painter.restore();
}

QImage image(std::optional<int> count, const QColor& color, qreal ratio) {
    const QString text = count ? QLocale().toString(*count) : QString();
    const QFont font = countFont();
    const qreal textWidth = text.isEmpty() ? 0 : QFontMetricsF(font).horizontalAdvance(text);
    const qreal width = points + (text.isEmpty() ? 0 : countGap + std::ceil(textWidth));
    QImage picture(QSize(qCeil(width * ratio), qCeil(points * ratio)),
                   QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(ratio);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    drawGlyph(painter, color);
    if (!text.isEmpty()) {
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(font);
        painter.setPen(color);
        painter.drawText(QRectF(points + countGap, 0, std::ceil(textWidth), points),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    painter.end();
    return picture;
}

} // namespace MenuBarIcon

MenuBarItem::MenuBarItem(AppModel* model, Panel* panel, QObject* parent)
    : QObject(parent), m_model(model), m_panel(panel) {
    m_tray = new QSystemTrayIcon(this);
    m_tray->setToolTip(QStringLiteral("Quillmarsh"));
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
    if (!m_image.isNull() && count == m_shownCount)
        return;
    m_shownCount = count;
    // Trays have no template images; the text colour of the palette stands in.
    const QColor color = QGuiApplication::palette().color(QPalette::WindowText);
    m_image = MenuBarIcon::image(count, color, 2.0);
    QIcon icon(QPixmap::fromImage(m_image));
    icon.setIsMask(true);
    m_tray->setIcon(icon);
}
