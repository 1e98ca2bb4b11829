// The entry of the window library, which quillmarsh loads in window mode.
#include "window/WindowSession.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <QApplication>
#include <QList>
#include <QPointer>
#include <QSystemTrayIcon>

#include <qcoro/qcorotask.h>

#include "inventory/EnglishPlurals.h"
#include "os/SettingsStore.h"
#include "window/ItemIcon.h"
#include "window/MenuBarItem.h"
#include "window/Panel.h"

namespace {

// Why no window system could be reached, in the words of the variables that
// choose it.
QByteArray noWindowSystemText(const QProcessEnvironment& process) {
    const QString platform = process.value(QStringLiteral("QT_QPA_PLATFORM"));
    if (!platform.isEmpty())
        return "the window system \"" + platform.toLocal8Bit() + "\" did not start";
    QStringList displays;
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const QString value = process.value(QString::fromLatin1(name));
        if (!value.isEmpty())
            displays << QStringLiteral("%1=%2").arg(QLatin1String(name), value);
    }
    if (displays.isEmpty())
        return "no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset)";
    return "cannot open the display (" + displays.join(QStringLiteral(", ")).toLocal8Bit() + ")";
}

// While the application object starts, Qt's messages are held back: when the
// window system cannot be reached Qt reports it over several lines and then
// aborts, and this program says so in one line and exits with status 1
// instead. Once it has started, the held messages go out as they would have.
class StartMessages {
public:
    explicit StartMessages(const QProcessEnvironment& process) {
        s_failure = "quillmarsh: " + noWindowSystemText(process) + "; use --json for the report.\n";
        s_held = &m_held;
        m_previous = qInstallMessageHandler(&StartMessages::hold);
    }
    ~StartMessages() {
        qInstallMessageHandler(m_previous);
        {
            const std::lock_guard lock(s_mutex);
            s_held = nullptr;
        }
        for (const Message& message : m_held) {
            const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
            m_previous(message.type, context, message.text);
        }
    }
    StartMessages(const StartMessages&) = delete;
    StartMessages& operator=(const StartMessages&) = delete;

private:
    struct Message {
        QtMsgType type;
        QByteArray category;
        QString text;
    };

    static void hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (type == QtFatalMsg) {
            std::fputs(s_failure.constData(), stderr);
            std::fflush(stderr);
            // Nothing has been written that an exit would have to finish.
            std::_Exit(1);
        }
        const std::lock_guard lock(s_mutex);
        if (s_held)
            s_held->append({type, QByteArray(context.category), text});
    }

    // Qt may report from its own threads while the application starts.
    static inline std::mutex s_mutex;
    static inline QByteArray s_failure;
    static inline QList<Message>* s_held = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<Message> m_held;
};

// The application object with the English singulars installed before any
// text is translated, or the end of the program with one line on standard
// error when no window system can be reached.
std::unique_ptr<QApplication> startApplication(int& argc, char** argv) {
    std::unique_ptr<QApplication> application;
    {
        const StartMessages messages(QProcessEnvironment::systemEnvironment());
        application = std::make_unique<QApplication>(argc, argv);
    }
    EnglishPlurals::install();
    return application;
}

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
    const std::unique_ptr<QApplication> application = startApplication(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(SettingsStore::organization));
    QCoreApplication::setApplicationName(QString::fromLatin1(SettingsStore::application));
    ItemIcon::useSymbolTheme();

    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    // Without a tray the panel is the program's only window.
    QApplication::setQuitOnLastWindowClosed(!tray);
    WindowSession session(AppModel::Environment{}, QProcessEnvironment::systemEnvironment(), tray);
    return QApplication::exec();
}
