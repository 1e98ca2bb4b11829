// The entry of the window library, which quillmarsh loads in window mode.
#include "window/WindowSession.h"

#include <QApplication>
#include <QPointer>
#include <QSystemTrayIcon>

#include <qcoro/qcorotask.h>

#include "os/SettingsStore.h"
#include "window/ItemIcon.h"
#include "window/MenuBarItem.h"
#include "window/Panel.h"

namespace {

// The first pass, then the background count, each to completion.
QCoro::Task<> startUp(AppModel* model) {
    QPointer<AppModel> guard(model);
    co_await model->refresh(false);
    if (guard)
        guard->startBackgroundCount();
}

} // namespace

WindowSession::WindowSession(AppModel::Environment environment, const QProcessEnvironment& process,
                             bool trayAvailable)
    : m_model(std::make_unique<AppModel>(std::move(environment))),
      m_panel(std::make_unique<Panel>(m_model.get(), trayAvailable)) {
    if (trayAvailable)
        m_menuBarItem = std::make_unique<MenuBarItem>(m_model.get(), m_panel.get());
    else
        m_panel->show();
    if (!underTestHost(process))
        startUp(m_model.get());
}

WindowSession::~WindowSession() {
    m_menuBarItem.reset();
    m_panel.reset();
    m_model.reset();
}

bool WindowSession::underTestHost(const QProcessEnvironment& process) {
    return process.contains(QStringLiteral("XCTestConfigurationFilePath"));
}

extern "C" Q_DECL_EXPORT int quillmarsh_window_main(int argc, char** argv) {
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(SettingsStore::organization));
    QCoreApplication::setApplicationName(QString::fromLatin1(SettingsStore::application));
    ItemIcon::useSymbolTheme();

    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    // Without a tray the panel is the program's only window.
    QApplication::setQuitOnLastWindowClosed(!tray);
    WindowSession session(AppModel::Environment{}, QProcessEnvironment::systemEnvironment(), tray);
    return QApplication::exec();
}
