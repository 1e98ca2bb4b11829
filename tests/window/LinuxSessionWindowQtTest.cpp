// Catches, through the real window over a session of real unit and entry
// files and the stand-in user manager: the Auto-start filter without the
// session's items; Stop that kills a unit's process behind the manager's back
// (Restart=always would bring it back) or leaves it running; a unit stopped
// elsewhere still shown running; Start that does not start it; Disable that
// leaves it starting at login or changes its definition; Re-enable that does
// not restore exactly the previous files; Launch at login that stays on while
// its entry is hidden; an Auto-start row that says No for what starts at login.

#include <QAbstractItemModel>
#include <QListView>
#include <QTest>

#include "session/UserManager.h"
#include "support/SessionScene.h"
#include "window/DetailDriver.h"
#include "window/ItemListModel.h"
#include "window/WindowFixtures.h"

namespace {

struct World {
    SessionScene scene;
    QTemporaryDir work;
    // A connection of its own: the process's session bus is the first test's.
    QDBusConnection bus = scene.bus().connection();
    std::unique_ptr<AppModel> model =
        WindowFixtures::makeModel(work, nullptr, {}, [this](AppModel::Environment& environment) {
            environment.sampler.session.bus = [bus = bus] { return bus; };
            environment.loginEntry.path =
                scene.home() + QStringLiteral("/.config/autostart/quillmarsh.desktop");
        });
    RootView root{model.get()};
    DetailDriver driver{model.get(), &root};
};

} // namespace

class LinuxSessionWindowQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<World> w;

    bool open(const QString& id) const { return w->driver.open(id); }
    bool click(const char* name) const { return w->driver.click(name); }
    bool finished() const { return w->driver.finished(); }
    // The item as a fresh pass lists it.
    std::optional<BackgroundItem> item(const QString& id) {
        QCoro::waitFor(w->model->refresh(false));
        for (const auto* list :
             {&w->model->inventory()->running, &w->model->inventory()->notRunning})
            for (const BackgroundItem& candidate : *list)
                if (candidate.id == id)
                    return candidate;
        return std::nullopt;
    }
    // Listed, and running nothing.
    bool stopped(const QString& id) {
        const auto found = item(id);
        return found && !found->primary;
    }
    Pid runningPid(const QString& id) {
        const auto found = item(id);
        return found && found->primary ? found->primary->pid : 0;
    }
private Q_SLOTS:
    void init() {
        qputenv("QT_REDUCE_MOTION", "1");
        w = std::make_unique<World>();
        QVERIFY(w->scene.isValid());
        w->root.resize(380, 560);
        w->root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w->root));
    }
    void cleanup() { w.reset(); }

    void autoStartFilterShowsTheUsersUnitsAndEntries() {
        w->model->setFilter(AppModel::Filter::autoStart);
        QCoro::waitFor(w->model->refresh(false));
        const auto* rows = w->root.currentScreen()->findChild<QListView*>()->model();
        QStringList ids;
        QTRY_VERIFY(rows->rowCount() > 0);
        for (int row = 0; row < rows->rowCount(); ++row)
            ids << rows->index(row, 0).data(ItemListModel::IdRole).toString();
        for (const QString& id :
             {u"job:syncthing.service"_qs, u"job:notes.desktop"_qs, u"job:updater.desktop"_qs})
            QVERIFY2(ids.contains(id), qPrintable(ids.join(u' ')));
        QVERIFY(!ids.contains(u"job:print-applet.desktop"_qs)); // the system's
    }

    // The row's first word for each kind of item: a plain "No" was once the
    // answer for every unit and entry.
    void autoStartRowAnswersForEveryKind() {
        BackgroundItem command, agent, parked, unit, masked, entry, hidden;
        agent.job = parked.job = LaunchJob{};
        agent.job->runAtLoad = parked.job->runAtLoad = true;
        parked.state = BackgroundItem::State::disabled;
        unit.sessionJob = masked.sessionJob = SessionJob{};
        unit.sessionJob->startsAtLogin = true;
        masked.sessionJob->maskFile = u"/dev/null"_qs;
        entry.sessionJob = hidden.sessionJob = SessionJob{};
        entry.sessionJob->kind = hidden.sessionJob->kind = SessionJob::Kind::autostartEntry;
        hidden.sessionJob->hidden = true;
        const std::pair<BackgroundItem, const char*> rows[] = {
            {command, "No."}, {agent, "Yes,"}, {parked, "No."}, {unit, "Yes,"},
            {masked, "No."},  {entry, "Yes,"}, {hidden, "No."},
        };
        for (const auto& [item, first] : rows)
            QCOMPARE(DetailRows::comeBackAnswer(item).section(u' ', 0, 0),
                     QString::fromUtf8(first));
    }

    void unitStopsAndStartsThroughTheManager() {
        const QString id = u"job:syncthing.service"_qs;
        QVERIFY(open(id));
        const Pid first = runningPid(id);
        QVERIFY(click("action.stop") && click("action.confirm") && finished());
        QTRY_VERIFY(stopped(id));
        QVERIFY(click("action.load") && finished());
        Pid now = 0; // one pass per look
        QTRY_VERIFY((now = runningPid(id)) != 0 && now != first);
        // Stopped elsewhere: the manager's signal, not an action, brings news.
        QVERIFY(!UserManager::stopUnit(w->bus, u"syncthing.service"_qs));
        QTRY_VERIFY(stopped(id));
    }

    // The vendor's unit the user enabled: masked for the user, then unmasked.
    void unitDisablesAndComesBackExactly() {
        const QString id = u"job:vendor-agent.service"_qs;
        const QString units = w->scene.home() + u"/.config/systemd/user"_qs;
        const QStringList before = SessionScene::tree(units);
        QVERIFY(open(id));
        QVERIFY(click("action.disable") && click("action.confirm") && finished());
        QTRY_VERIFY(stopped(id));
        QCOMPARE(Items::statusLine(item(id).value()), (StatusLine{u"Disabled"_qs, u"masked"_qs}));
        QVERIFY(SessionScene::tree(units) != before);
        QVERIFY(click("action.reenable") && finished());
        QCOMPARE(SessionScene::tree(units), before);
    }

    // Launch at login is this program's own entry, and says so when hidden.
    void launchAtLoginIsAnEntryOfTheList() {
        w->model->setLaunchAtLogin(true);
        QVERIFY(w->model->launchAtLogin() && open(u"job:quillmarsh.desktop"_qs));
        QVERIFY(click("action.disable") && click("action.confirm") && finished());
        QTRY_VERIFY(!w->model->launchAtLogin());
        QVERIFY(click("action.reenable") && finished());
        QTRY_VERIFY(w->model->launchAtLogin());
    }

    void entryHidesWithOneLineAndComesBackByteForByte() {
        const QString file = w->scene.home() + u"/.config/autostart/notes.desktop"_qs;
        const QStringList before = SessionScene::tree(QFileInfo(file).path());
        QVERIFY(open(u"job:notes.desktop"_qs));
        QVERIFY(click("action.disable") && click("action.confirm") && finished());
        QFile hidden(file);
        QVERIFY(hidden.open(QIODevice::ReadOnly));
        QCOMPARE(hidden.readAll(),
                 SessionScene::entry("Notes", "notes-app --sync") + "Hidden=true\n");
        QVERIFY(click("action.reenable") && finished());
        QCOMPARE(SessionScene::tree(QFileInfo(file).path()), before);
    }
};

QTEST_MAIN(LinuxSessionWindowQtTest)
#include "LinuxSessionWindowQtTest.moc"
