// The entry of the window library, which quillmarsh loads in window mode.
#include <memory>

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>

#include <qcoro/qcorotask.h>

#include "app/SettingsStore.h"
#include "ui/AppModel.h"
#include "ui/MenuBarItem.h"
#include "ui/Panel.h"

namespace {

// The first pass, then the background count, each to completion.
QCoro::Task<> startUp(AppModel* model) {
    QPointer<AppModel> guard(model);
    co_await model->refresh(false);
    if (guard)
        guard->startBackgroundCount();
}

} // namespace

extern "C" Q_DECL_EXPORT int quillmarsh_window_main(int argc, char** argv) {
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(SettingsStore::organization));
    QCoreApplication::setApplicationName(QString::fromLatin1(SettingsStore::application));
    // Symbols come from the icon-naming scheme; Adwaita draws them wherever
    // the desktop's own theme lacks one.
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));

    AppModel model;
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    // Without a tray the panel is the program's only window.
    QApplication::setQuitOnLastWindowClosed(!tray);
    Panel panel(&model, tray);
    std::unique_ptr<MenuBarItem> item;
    if (tray)
        item = std::make_unique<MenuBarItem>(&model, &panel);
    else
        panel.show();

    if (!qEnvironmentVariableIsSet("XCTestConfigurationFilePath"))
        startUp(&model);
    return QApplication::exec();
}
