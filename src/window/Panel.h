#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

class AppModel;
class RootView;

// The window that holds the root view: a frameless popup anchored under the
// menu-bar item, or an ordinary window where there is no tray. While shown it
// keeps the model's refresh loop running; hiding stops the loop and empties
// the icon cache.
class Panel : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 380;
    static constexpr int panelHeight = 560;

    Panel(AppModel* model, bool asPopup, QWidget* parent = nullptr);

    RootView* rootView() const { return m_root; }
    bool isPopup() const { return m_asPopup; }

    // Shows the panel at `anchor` (the tray icon's rectangle; empty when the
    // tray does not tell), or hides it when shown.
    void toggle(const QRect& anchor);
    void showAt(const QRect& anchor);

    // Where the panel's top left corner goes: centred under the anchor (or
    // the pointer), above it when there is no room below, inside `available`.
    static QPoint placement(const QSize& size, const QRect& anchor, const QPoint& pointer,
                            const QRect& available);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QPointer<AppModel> m_model;
    RootView* m_root = nullptr;
    bool m_asPopup = true;
    QElapsedTimer m_hiddenAt;
};
