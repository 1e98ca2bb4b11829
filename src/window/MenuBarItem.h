#pragma once

#include <optional>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>

class AppModel;
class Panel;
class QMenu;
class QPainter;
class QPalette;
class QSystemTrayIcon;

// The tray picture: a small solid tip above a line and a translucent outlined
// mass beneath it, drawn by code on an 18-point square, with the count on a
// badge.
namespace MenuBarIcon {

constexpr int points = 18;

// Draws the glyph in `color` on an 18 × 18 point canvas at the origin.
void drawGlyph(QPainter& painter, const QColor& color);

// The count as the badge shows it: in the locale's digits, "99+" above 99
// (the tooltip has the whole number).
QString badgeText(int count);

// The picture, `pixels` wide and high. Trays give a square slot and do not
// tint pictures, and the panel's colour is not known to the program: the
// glyph takes the palette's text colour inside a rim of its window colour, so
// it reads on a dark panel and on a light one whatever the theme. The count
// sits on a badge of the palette's highlight colours in the lower right
// corner, sized for the pixels, so it stays readable at 22.
QImage image(int pixels, std::optional<int> count, const QPalette& palette);

// The picture at the sizes trays ask for.
QIcon icon(std::optional<int> count, const QPalette& palette);

// "Quillmarsh: 3 background items", or "Quillmarsh" without a count.
QString toolTip(std::optional<int> count);

} // namespace MenuBarIcon

// The tray item: its picture carries the count of running items that are not
// part of the system when the user wants it; a click opens or closes the
// panel. The picture follows the application's palette when the theme changes.
class MenuBarItem : public QObject {
    Q_OBJECT

public:
    MenuBarItem(AppModel* model, Panel* panel, QObject* parent = nullptr);
    ~MenuBarItem() override;

    QSystemTrayIcon* trayIcon() const { return m_tray; }
    // The count drawn in the picture, none when the picture is the icon alone.
    std::optional<int> shownCount() const { return m_shownCount; }

    // The count the picture should carry, by the model's state.
    static std::optional<int> countFor(const AppModel& model);

    void updateImage();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void render();

    QPointer<AppModel> m_model;
    QPointer<Panel> m_panel;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_menu = nullptr;
    std::optional<int> m_shownCount;
    bool m_rendered = false;
};
