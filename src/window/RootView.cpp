#include "window/RootView.h"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "window/DetailScreen.h"
#include "window/ListScreen.h"
#include "window/SettingsScreen.h"

namespace {

bool comesFromLeadingEdge(const AppModel::Screen& screen) {
    return screen.kind == AppModel::Screen::Kind::list;
}

} // namespace

RootView::RootView(AppModel* model, QWidget* parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("root"));
    m_reduceMotion = reduceMotionRequested();

    auto* settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    settings->setContext(Qt::WidgetWithChildrenShortcut);
    connect(settings, &QShortcut::activated, this, [this] {
        if (m_model)
            m_model->setScreen(AppModel::Screen::settings());
    });

    m_shown = model->screen();
    m_current = createScreen(m_shown);
    m_current->setGeometry(rect());
    m_current->show();
    connect(model, &AppModel::screenChanged, this, [this] {
        if (m_model)
            showScreen(m_model->screen());
    });
}

bool RootView::reduceMotionRequested() {
    const QByteArray requested = qgetenv("QT_REDUCE_MOTION");
    if (!requested.isEmpty())
        return requested != "0";
    // Plasma hands its animation setting to Qt as the UI effects; elsewhere
    // Qt reports none, which says nothing about the user's wish.
    if (qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("KDE")))
        return !QApplication::isEffectEnabled(Qt::UI_General);
    return false;
}

bool RootView::isTransitioning() const {
    return !m_transition.isNull();
}

QWidget* RootView::createScreen(const AppModel::Screen& screen) {
    switch (screen.kind) {
    case AppModel::Screen::Kind::list:
        return new ListScreen(m_model, !m_reduceMotion, this);
    case AppModel::Screen::Kind::settings:
        return new SettingsScreen(m_model, this);
    case AppModel::Screen::Kind::detail:
        return new DetailScreen(m_model, screen.id, this);
    }
    return new QWidget(this);
}

void RootView::finishTransition() {
    if (m_transition) {
        m_transition->stop();
        delete m_transition.data();
    }
    if (m_leaving)
        m_leaving->deleteLater();
    m_leaving = nullptr;
    if (m_current) {
        m_current->setGraphicsEffect(nullptr);
        m_current->setGeometry(rect());
    }
}

void RootView::showScreen(const AppModel::Screen& screen) {
    if (screen == m_shown)
        return;
    finishTransition();
    const AppModel::Screen previous = m_shown;
    m_shown = screen;

    QWidget* leaving = m_current;
    QWidget* coming = createScreen(screen);
    m_current = coming;
    m_leaving = leaving;
    if (leaving) {
        leaving->setAttribute(Qt::WA_TransparentForMouseEvents);
        leaving->clearFocus();
    }

    const int width = this->width();
    const QPoint home(0, 0);
    const QPoint comingFrom(comesFromLeadingEdge(screen) ? -width : width, 0);
    const QPoint leavingTo(comesFromLeadingEdge(previous) ? -width : width, 0);

    coming->setGeometry(rect());
    coming->show();
    coming->raise();

    auto* group = new QParallelAnimationGroup(this);
    const auto fade = [group, this](QWidget* widget, qreal from, qreal to) {
        auto* effect = new QGraphicsOpacityEffect(widget);
        effect->setOpacity(from);
        widget->setGraphicsEffect(effect);
        auto* animation = new QPropertyAnimation(effect, "opacity", group);
        animation->setDuration(transitionMilliseconds);
        animation->setStartValue(from);
        animation->setEndValue(to);
        animation->setEasingCurve(m_reduceMotion ? QEasingCurve::Linear : QEasingCurve::OutCubic);
        group->addAnimation(animation);
    };
    const auto slide = [group](QWidget* widget, QPoint from, QPoint to) {
        auto* animation = new QPropertyAnimation(widget, "pos", group);
        animation->setDuration(transitionMilliseconds);
        animation->setStartValue(from);
        animation->setEndValue(to);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        group->addAnimation(animation);
    };

    fade(coming, 0.0, 1.0);
    if (leaving)
        fade(leaving, 1.0, 0.0);
    if (!m_reduceMotion) {
        coming->move(comingFrom);
        slide(coming, comingFrom, home);
        if (leaving)
            slide(leaving, home, leavingTo);
    }
    m_transition = group;
    connect(group, &QParallelAnimationGroup::finished, this, [this] {
        if (m_transition)
            m_transition->deleteLater();
        m_transition = nullptr;
        if (m_leaving)
            m_leaving->deleteLater();
        m_leaving = nullptr;
        if (m_current)
            m_current->setGraphicsEffect(nullptr);
    });
    group->start();
    if (isVisible())
        coming->setFocus(Qt::OtherFocusReason);
    if (auto* list = qobject_cast<ListScreen*>(coming); list && isVisible())
        list->findChild<QWidget*>(QStringLiteral("search"))->setFocus(Qt::OtherFocusReason);
}

void RootView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && m_model &&
        m_model->screen().kind != AppModel::Screen::Kind::list) {
        m_model->setScreen(AppModel::Screen::list());
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void RootView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_current && !m_transition)
        m_current->setGeometry(rect());
    else if (m_current)
        m_current->resize(size());
    if (m_leaving)
        m_leaving->resize(size());
}
