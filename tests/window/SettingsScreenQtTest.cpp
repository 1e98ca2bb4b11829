// The settings screen driven through its widgets, offscreen, over a model with
// a temporary settings store, the stand-in sfltool and a loopback manifest.

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHostAddress>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "inventory/EnglishPlurals.h"
#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "model/LaunchAtLogin.h"
#include "support/StandIns.h"
#include "window/SettingsScreen.h"

namespace {

// Answers every request with one manifest, or holds it unanswered.
class ManifestServer : public QObject {
public:
    explicit ManifestServer(QByteArray body) : m_body(std::move(body)) {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n") || m_hold)
                        return;
                    socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                                  QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
                    socket->disconnectFromHost();
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/quillmarsh/latest.json")
                        .arg(m_server.serverPort()));
    }
    bool m_hold = false;

private:
    QTcpServer m_server;
    QByteArray m_body;
    QByteArray m_request;
};

} // namespace

class SettingsScreenQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<SettingsScreen> m_screen;
    EnglishPlurals m_plurals;

    template <typename T> T* find(const char* name) const {
        return m_screen->findChild<T*>(QString::fromLatin1(name));
    }

    // On the box itself: a toggle as wide as its row ignores clicks past its text.
    static void clickToggle(QCheckBox* toggle) {
        QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(6, toggle->height() / 2));
    }

    QString settingsPath() const { return m_dir->filePath(QStringLiteral("settings.ini")); }

    void makeModel(const QString& loginEntryPath) {
        AppModel::Environment environment;
        const QString path = settingsPath();
        environment.settings = [path] {
            return std::make_unique<AppSettings>(
                std::make_unique<QSettings>(path, QSettings::IniFormat));
        };
        environment.loginEntry =
            LaunchAtLogin::Entry{loginEntryPath, QStringLiteral("/usr/bin/quillmarsh")};
        environment.sampler.tools = m_standIns->locations();
        environment.sampler.uid = static_cast<Uid>(::getuid());
        environment.actions.tools = m_standIns->locations();
        m_model = std::make_unique<AppModel>(std::move(environment));
    }

    void showScreen(SettingsScreen::Environment environment) {
        m_screen = std::make_unique<SettingsScreen>(m_model.get(), std::move(environment));
        m_screen->resize(380, 560);
        m_screen->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_screen.get()));
    }

    static SettingsScreen::Environment environment(const QUrl& manifest = {},
                                                   const QString& version = QStringLiteral("1.4")) {
        return {QStringLiteral("/opt/quill marsh/bin/quillmarsh"), manifest, version};
    }

private Q_SLOTS:
    void initTestCase() { QCoreApplication::installTranslator(&m_plurals); }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_standIns = std::make_unique<StandIns>();
        QVERIFY(m_standIns->isValid());
        makeModel(m_dir->filePath(QStringLiteral("autostart/quillmarsh.desktop")));
    }

    void cleanup() {
        m_screen.reset();
        m_model.reset();
        m_standIns.reset();
        m_dir.reset();
    }

    void reportCommandQuotesThePath_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("command");
        QTest::newRow("plain") << "/usr/bin/quillmarsh"
                               << "'/usr/bin/quillmarsh' --json";
        QTest::newRow("spaces") << "/opt/quill marsh/q"
                                << "'/opt/quill marsh/q' --json";
        QTest::newRow("quote") << "/home/o'neil/q"
                               << "'/home/o'\\''neil/q' --json";
        QTest::newRow("dollar") << "/tmp/$HOME/q"
                                << "'/tmp/$HOME/q' --json";
    }
    void reportCommandQuotesThePath() {
        QFETCH(QString, path);
        QFETCH(QString, command);
        QCOMPARE(SettingsText::reportCommand(path), command);
    }

    void lastCheckedInWords_data() {
        QTest::addColumn<qint64>("secondsAgo");
        QTest::addColumn<QString>("text");
        QTest::newRow("now") << qint64(5) << "now";
        QTest::newRow("one minute") << qint64(61) << "1 minute ago";
        QTest::newRow("minutes") << qint64(10 * 60) << "10 minutes ago";
        QTest::newRow("days") << qint64(3 * 86400 + 60) << "3 days ago";
        QTest::newRow("last week") << qint64(9 * 86400) << "last week";
        QTest::newRow("weeks") << qint64(20 * 86400) << "2 weeks ago";
        QTest::newRow("months") << qint64(100 * 86400) << "3 months ago";
        QTest::newRow("years") << qint64(800 * 86400) << "2 years ago";
    }
    void lastCheckedInWords() {
        QFETCH(qint64, secondsAgo);
        QFETCH(QString, text);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QCOMPARE(SettingsText::lastChecked(now.addSecs(-secondsAgo), now), text);
    }

    void yesterdayByTheCalendar() {
        const QDateTime noon(QDate(2026, 3, 10), QTime(12, 0));
        QCOMPARE(SettingsText::lastChecked(noon.addSecs(-20 * 3600), noon),
                 QStringLiteral("yesterday"));
        QCOMPARE(SettingsText::lastChecked(noon.addSecs(-2 * 3600), noon),
                 QStringLiteral("2 hours ago"));
        QCOMPARE(SettingsText::lastChecked(std::nullopt, noon), QStringLiteral("Never"));
    }

    void togglesFollowAndChangeTheModel() {
        showScreen(environment());
        auto* showCount = find<QCheckBox>("settings.showCount");
        auto* keepFresh = find<QCheckBox>("settings.keepCountFresh");
        auto* showApple = find<QCheckBox>("settings.showApple");
        QVERIFY(showCount->isChecked() && keepFresh->isChecked() && !showApple->isChecked());
        QVERIFY(keepFresh->isEnabled());

        clickToggle(showCount);
        QVERIFY(!m_model->showCount());
        QVERIFY(!keepFresh->isEnabled());
        clickToggle(keepFresh);
        QVERIFY2(m_model->keepCountFresh(), "a disabled toggle cannot be changed");
        QVERIFY(keepFresh->isChecked());

        clickToggle(showCount);
        clickToggle(keepFresh);
        QVERIFY(!m_model->keepCountFresh());
        clickToggle(showApple);
        QVERIFY(m_model->showApple());

        m_model->setShowApple(false);
        QVERIFY(!showApple->isChecked());
        QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("keepCountFresh").toBool(),
                 false);
    }

    void refreshChoices() {
        {
            QSettings stored(settingsPath(), QSettings::IniFormat);
            stored.setValue(QStringLiteral("refreshSeconds"), 7);
        }
        makeModel(m_dir->filePath(QStringLiteral("autostart/quillmarsh.desktop")));
        showScreen(environment());
        auto* picker = find<QComboBox>("settings.refreshSeconds");
        QCOMPARE(picker->count(), 4);
        QCOMPARE(picker->itemText(3), QStringLiteral("10 s"));
        QCOMPARE(picker->currentIndex(), -1);
        picker->activated(3);
        QCOMPARE(m_model->refreshSeconds(), 10);
        QCOMPARE(picker->currentIndex(), 3);
        m_model->setRefreshSeconds(3);
        QCOMPARE(picker->currentText(), QStringLiteral("3 s"));
    }

    void launchAtLoginFailureShowsTheErrorAndTheRealState() {
        // The entry's folder cannot be created: a file stands where it would go.
        QFile blocker(m_dir->filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        makeModel(m_dir->filePath(QStringLiteral("blocked/autostart/quillmarsh.desktop")));
        showScreen(environment());
        auto* toggle = find<QCheckBox>("settings.launchAtLogin");
        auto* error = find<QLabel>("settings.launchAtLoginError");
        QVERIFY(!toggle->isChecked());
        QVERIFY(!error->isVisible());
        clickToggle(toggle);
        QVERIFY(m_model->launchAtLoginError());
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), *m_model->launchAtLoginError());
        QVERIFY(!toggle->isChecked());

        makeModel(m_dir->filePath(QStringLiteral("autostart/quillmarsh.desktop")));
        showScreen(environment());
        toggle = find<QCheckBox>("settings.launchAtLogin");
        clickToggle(toggle);
        QVERIFY(m_model->launchAtLogin());
        QVERIFY(toggle->isChecked());
        QVERIFY(!find<QLabel>("settings.launchAtLoginError")->isVisible());
    }

    void cancelledLoginItemsCheckKeepsTheDate() {
        m_standIns->setLoginItemsDump({}, 1);
        showScreen(environment());
        QCOMPARE(find<QLabel>("settings.lastChecked")->text(), QStringLiteral("Never"));
        auto* check = find<QPushButton>("settings.checkLoginItems");
        QCOMPARE(check->text(), QStringLiteral("Check login items…"));
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(check->text(), QStringLiteral("Checking…"));
        QVERIFY(!check->isEnabled());
        QTRY_VERIFY(check->isEnabled());
        QCOMPARE(find<QLabel>("settings.loginItemsMessage")->text(),
                 QStringLiteral("Not checked: administrator access was cancelled."));
        QCOMPARE(find<QLabel>("settings.lastChecked")->text(), QStringLiteral("Never"));
    }

    void loginItemsCheckShowsTheCountAndTheDate() {
        const QByteArray dump = "========================\n"
                                " Records for UID " +
                                QByteArray::number(::getuid()) +
                                " : 0A1B\n"
                                "========================\n"
                                " #1:\n"
                                "                 UUID: 0A1B\n"
                                "                 Type: app (0x2)\n"
                                "          Disposition: [enabled, allowed, visible] (0x1)\n"
                                "    Bundle Identifier: com.example.Sync\n"
                                "                  URL: file:///Applications/Sync.app/\n";
        m_standIns->setLoginItemsDump(dump);
        showScreen(environment());
        QTest::mouseClick(find<QPushButton>("settings.checkLoginItems"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(find<QPushButton>("settings.checkLoginItems")->isEnabled(), 20000);
        QCOMPARE(find<QLabel>("settings.loginItemsMessage")->text(),
                 QStringLiteral("Login items found: 1"));
        QCOMPARE(find<QLabel>("settings.lastChecked")->text(), QStringLiteral("now"));
    }

    void reportCommandAndItsCopy() {
        showScreen(environment());
        QCOMPARE(find<QLabel>("settings.reportCommand")->text(),
                 QStringLiteral("'/opt/quill marsh/bin/quillmarsh' --json"));
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::mouseClick(find<QPushButton>("settings.copyCommand"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("'/opt/quill marsh/bin/quillmarsh' --json"));
    }

    void theRunningProgramsOwnPath() {
        const SettingsScreen::Environment real = SettingsScreen::Environment::standard();
        QCOMPARE(real.executablePath, QCoreApplication::applicationFilePath());
        QCOMPARE(real.manifest.path(), QStringLiteral("/quillmarsh/latest.json"));
        QCOMPARE(real.manifest.scheme(), QStringLiteral("https"));
    }

    void updateCheckShowsTheAnswerAndTheDownloadLink() {
        ManifestServer server("{\"version\": \"1.10\", \"url\": \"https://example.org/q.zip\"}");
        showScreen(environment(server.url(), QStringLiteral("1.9")));
        auto* check = find<QPushButton>("settings.checkUpdates");
        QVERIFY(!find<QWidget>("settings.download")->isVisible());
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(check->text(), QStringLiteral("Checking…"));
        QVERIFY(!check->isEnabled());
        QTRY_VERIFY(check->isEnabled());
        QCOMPARE(check->text(), QStringLiteral("Check for updates"));
        QCOMPARE(find<QLabel>("settings.updateMessage")->text(),
                 QStringLiteral("Version 1.10 is available."));
        QVERIFY(find<QWidget>("settings.download")->isVisible());
        QCOMPARE(m_screen->update()->download, QUrl(QStringLiteral("https://example.org/q.zip")));
    }

    void withoutAVersionTheCheckAsksAboutZero() {
        ManifestServer server("{\"version\": \"0.0.1\", \"url\": \"https://example.org/q.zip\"}");
        showScreen(environment(server.url(), QString()));
        QTest::mouseClick(find<QPushButton>("settings.checkUpdates"), Qt::LeftButton);
        QTRY_VERIFY(m_screen->update().has_value());
        QCOMPARE(m_screen->update()->message, QStringLiteral("Version 0.0.1 is available."));
    }

    void upToDateHasNoDownload() {
        ManifestServer server("{\"version\": \"1.4\", \"url\": \"https://example.org/q.zip\"}");
        showScreen(environment(server.url(), QStringLiteral("1.4")));
        QTest::mouseClick(find<QPushButton>("settings.checkUpdates"), Qt::LeftButton);
        QTRY_VERIFY(m_screen->update().has_value());
        QCOMPARE(find<QLabel>("settings.updateMessage")->text(),
                 QStringLiteral("Quillmarsh 1.4 is up to date."));
        QVERIFY(!find<QWidget>("settings.download")->isVisible());
    }

    void leavingDuringACheckDropsTheAnswer() {
        ManifestServer server("{}");
        server.m_hold = true;
        showScreen(environment(server.url(), QStringLiteral("1.4")));
        QTest::mouseClick(find<QPushButton>("settings.checkUpdates"), Qt::LeftButton);
        QVERIFY(m_screen->isCheckingUpdate());
        m_screen.reset();
        // The request ends with the server; nothing is left to show it.
        server.m_hold = false;
        QTest::qWait(50);
    }

    void backGoesToTheList() {
        m_model->setScreen(AppModel::Screen::settings());
        showScreen(environment());
        QTest::mouseClick(find<QPushButton>("settings.back"), Qt::LeftButton);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
    }
};

QTEST_MAIN(SettingsScreenQtTest)
#include "SettingsScreenQtTest.moc"
