#pragma once

#include <memory>

#include <QProcessEnvironment>

#include "model/AppModel.h"

class MenuBarItem;
class Panel;

// Everything window mode holds for the life of the process: the one model,
// the panel and, where there is a tray, the menu-bar item. Construction also
// starts the first pass and then the background count, except under a test
// host.
class WindowSession {
public:
    WindowSession(AppModel::Environment environment, const QProcessEnvironment& process,
                  bool trayAvailable);
    ~WindowSession();

    WindowSession(const WindowSession&) = delete;
    WindowSession& operator=(const WindowSession&) = delete;

    // The key XCTestConfigurationFilePath is present, whatever its value.
    static bool underTestHost(const QProcessEnvironment& process);

    AppModel& model() { return *m_model; }
    Panel& panel() { return *m_panel; }
    MenuBarItem* menuBarItem() { return m_menuBarItem.get(); }

private:
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<Panel> m_panel;
    std::unique_ptr<MenuBarItem> m_menuBarItem;
};
