#include "window/Panel.h"

#include <algorithm>

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "model/AppModel.h"
#include "window/ItemIcon.h"
#include "window/RootView.h"

namespace {

constexpr int anchorGap = 4;
// A click on the tray icon first closes the popup (a click outside it), then
// reaches the icon; a toggle this soon after closing is that same click.
constexpr qint64 reopenGuardMilliseconds = 300;

} // namespace

Panel::Panel(AppModel* model, bool asPopup, QWidget* parent)
    : QWidget(parent, asPopup ? Qt::Popup | Qt::FramelessWindowHint : Qt::Window), m_model(model),
      m_asPopup(asPopup) {
    setObjectName(QStringLiteral("panel"));
    setWindowTitle(QStringLiteral("Quillmarsh"));
    setFixedSize(panelWidth, panelHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_root = new RootView(model, this);
    layout->addWidget(m_root);
}

QPoint Panel::placement(const QSize& size, const QRect& anchor, const QPoint& pointer,
                        const QRect& available) {
    const QRect target =
        anchor.isValid() && !anchor.isEmpty() ? anchor : QRect(pointer, QSize(1, 1));
    int x = target.x() + target.width() / 2 - size.width() / 2;
    int y = target.bottom() + 1 + anchorGap;
    if (y + size.height() - 1 > available.bottom())
        y = target.top() - anchorGap - size.height();
    x = std::clamp(x, available.left(),
                   std::max(available.left(), available.right() + 1 - size.width()));
    y = std::clamp(y, available.top(),
                   std::max(available.top(), available.bottom() + 1 - size.height()));
    return {x, y};
}

void Panel::toggle(const QRect& anchor) {
    if (isVisible()) {
        hide();
        return;
    }
    if (m_asPopup && m_hiddenAt.isValid() && m_hiddenAt.elapsed() < reopenGuardMilliseconds)
        return;
    showAt(anchor);
}

void Panel::showAt(const QRect& anchor) {
    if (m_asPopup) {
        const QPoint pointer = QCursor::pos();
        QScreen* screen = QGuiApplication::screenAt(anchor.isValid() ? anchor.center() : pointer);
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
        move(placement(size(), anchor, pointer, available));
    }
    show();
    raise();
    activateWindow();
}

void Panel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A loop still winding down from the last close hands over to this one.
    if (m_model)
        m_model->runWhileOpen();
}

void Panel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_hiddenAt.start();
    if (m_model)
        m_model->stopPanelLoop();
    ItemIcon::clearIconCache();
}
