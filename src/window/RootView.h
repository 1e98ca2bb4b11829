#pragma once

#include <QPointer>
#include <QWidget>

#include "model/AppModel.h"

class QParallelAnimationGroup;

// The panel's content: the list, a detail or the settings, as the model's
// screen says, with sliding and fading changes between them and the
// panel-wide shortcuts (Ctrl+, for the settings, Escape back to the list).
class RootView : public QWidget {
    Q_OBJECT

public:
    explicit RootView(AppModel* model, QWidget* parent = nullptr);

    // The screen that is shown, or coming in.
    QWidget* currentScreen() const { return m_current; }
    bool isTransitioning() const;

    // QT_REDUCE_MOTION=1, or a desktop that reports its animations as off.
    static bool reduceMotionRequested();

    static constexpr int transitionMilliseconds = 250;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showScreen(const AppModel::Screen& screen);
    QWidget* createScreen(const AppModel::Screen& screen);
    void finishTransition();

    QPointer<AppModel> m_model;
    bool m_reduceMotion = false;
    AppModel::Screen m_shown;
    QPointer<QWidget> m_current;
    QPointer<QWidget> m_leaving;
    QPointer<QParallelAnimationGroup> m_transition;
};
