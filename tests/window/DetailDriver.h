#pragma once

// Drives the detail screen of a real window as a user does: opens an item
// after a fresh pass, waits for widgets to show, clicks them.

#include <algorithm>

#include <QTest>

#include <qcoro/qcorotask.h>

#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/RootView.h"

struct DetailDriver {
    AppModel* model = nullptr;
    RootView* root = nullptr;

    DetailScreen* screen() const { return qobject_cast<DetailScreen*>(root->currentScreen()); }
    ActionBarPhase phase() const {
        return screen() ? screen()->actionBar()->phase() : ActionBarPhase{};
    }
    // After a fresh pass, opens the item `id`, or the running one that holds `pid`.
    bool open(QString id, Pid pid = 0) const {
        QCoro::waitFor(model->refresh(false));
        for (const BackgroundItem& item : model->inventory()->running) {
            if (std::ranges::any_of(item.members, [&](auto& member) { return member.pid == pid; }))
                id = item.id;
        }
        model->setScreen(AppModel::Screen::detail(id));
        return QTest::qWaitFor(
            [&] { return screen() && screen()->id() == id && !root->isTransitioning(); });
    }
    // The current screen's widget `name` once it shows; none if it never does.
    QWidget* shown(const char* name) const {
        const auto find = [&] { return root->currentScreen()->findChild<QWidget*>(name); };
        return QTest::qWaitFor([&] { return find() && find()->isVisible(); }, 10000) ? find()
                                                                                     : nullptr;
    }
    bool click(const char* name) const {
        QWidget* button = shown(name);
        if (button)
            QTest::mouseClick(button, Qt::LeftButton);
        return button;
    }
    // Waits for the running action to end without an error, then dismisses
    // its message.
    bool finished() const {
        const auto ended = [&] {
            return phase().kind == ActionBarPhase::Case::idle ||
                   phase().kind == ActionBarPhase::Case::message;
        };
        if (!QTest::qWaitFor(ended, 20000) || phase().isError)
            return false;
        return phase().kind == ActionBarPhase::Case::idle || click("action.ok");
    }
};
