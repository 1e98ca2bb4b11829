#pragma once

#include <optional>

#include <QColor>
#include <QImage>
#include <QObject>
#include <QPointer>

class AppModel;
class Panel;
class QMenu;
class QPainter;
class QSystemTrayIcon;

// The menu-bar picture: a small solid tip above a line and a translucent
// outlined mass beneath it, drawn by code on an 18-point square.
namespace MenuBarIcon {

constexpr int points = 18;

// Draws the glyph in `color` on an 18 × 18 point canvas at the origin.
void drawGlyph(QPainter& painter, const QColor& color);

// The glyph, followed by `count` when given, at `ratio` pixels per point.
QImage image(std::optional<int> count, const QColor& color, qreal ratio);

} // namespace MenuBarIcon

// The tray item: its picture carries the count of running items that are not
// Apple's when the user wants it; a click opens or closes the panel.
class MenuBarItem : public QObject {
    Q_OBJECT

public:
    MenuBarItem(AppModel* model, Panel* panel, QObject* parent = nullptr);
    ~MenuBarItem() override;

    QSystemTrayIcon* trayIcon() const { return m_tray; }
    // The count drawn in the picture, none when the picture is the icon alone.
    std::optional<int> shownCount() const { return m_shownCount; }
    QImage currentImage() const { return m_image; }

    // The count the picture should carry, by the model's state.
    static std::optional<int> countFor(const AppModel& model);

    void updateImage();

private:
    QPointer<AppModel> m_model;
    QPointer<Panel> m_panel;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_menu = nullptr;
    std::optional<int> m_shownCount;
    QImage m_image;
};
