// Processor time of one steady refresh with the panel open, on a machine
// topped up to 500 processes with children of this benchmark: the sampling
// pass, the builder, the list model's update, layout and painting of what
// changed, offscreen.
// Compared with a bare loop that only lists the processes and reads each
// /proc/PID/stat. The system tools are the stand-ins; their call log shows
// whether a steady refresh ran a command.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "inventory/InventoryBuilder.h"
#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "os/ProcReader.h"
#include "window/ItemIcon.h"
#include "window/ListScreen.h"

namespace {

constexpr int machineSize = 500;
constexpr int rounds = 25;

double cpuMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Processor time of the whole process (every thread) and of this thread.
double processMs() {
    return cpuMs(CLOCK_PROCESS_CPUTIME_ID);
}
double threadMs() {
    return cpuMs(CLOCK_THREAD_CPUTIME_ID);
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Children that wait for the release pipe to close; as many as the machine
// lacks of `machineSize` processes.
class Crowd {
public:
    explicit Crowd(int count) {
        int release[2];
        if (count <= 0 || pipe(release) != 0)
            return;
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                close(release[1]);
                char sink = 0;
                while (read(release[0], &sink, 1) > 0) {
                }
                _exit(0);
            }
            if (pid > 0)
                m_children.push_back(pid);
        }
        close(release[0]);
        m_release = release[1];
    }
    ~Crowd() {
        if (m_release >= 0)
            close(m_release);
        for (const pid_t pid : m_children) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    size_t size() const { return m_children.size(); }

private:
    std::vector<pid_t> m_children;
    int m_release = -1;
};

int loggedCalls(const QString& stateFolder) {
    QFile log(stateFolder + QStringLiteral("/calls.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    while (!log.atEnd())
        count += QJsonDocument::fromJson(log.readLine()).isArray() ? 1 : 0;
    return count;
}

} // namespace

int main(int argc, char** argv) {
    const int present = static_cast<int>(ProcReader::allPids().size());
    Crowd crowd(machineSize - present);

    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_REDUCE_MOTION", "1");
    QTemporaryDir dir;
    if (qEnvironmentVariableIsEmpty("QUILLMARSH_TOOLS_DIR"))
        qputenv("QUILLMARSH_TOOLS_DIR", QUILLMARSH_STANDINS_DIR);
    qputenv("QUILLMARSH_STANDIN_STATE", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    QApplication application(argc, argv);
    ItemIcon::useSymbolTheme();

    AppModel model(BenchSupport::modelEnvironment(dir));
    ListScreen screen(&model, false);
    screen.resize(380, 560);
    screen.show();

    // One refresh as the panel's loop takes it: a pass on the sampler's
    // thread, the new inventory into the list, and the repaint.
    const auto refresh = [&] {
        QEventLoop loop;
        const auto connection =
            QObject::connect(&model, &AppModel::inventoryChanged, &loop, &QEventLoop::quit);
        model.refresh(false);
        loop.exec();
        QObject::disconnect(connection);
        // What the list asked to repaint, painted as the event loop would.
        QCoreApplication::processEvents();
    };
    refresh();
    refresh();

    const QString state = dir.filePath(QStringLiteral("state"));
    const int callsBefore = loggedCalls(state);
    std::vector<double> bare, whole, pass, build, list, paint;
    Sampler& sampler = model.sampler();
    for (int round = 0; round < rounds; ++round) {
        double start = threadMs();
        BenchSupport::bareStatLoop();
        bare.push_back(threadMs() - start);

        start = processMs();
        refresh();
        whole.push_back(processMs() - start);

        // The same refresh in its parts, on the same warm caches.
        start = processMs();
        SampleInput input = sampler.collect(model.showApple()).result();
        pass.push_back(processMs() - start);
        start = threadMs();
        Inventory inventory = InventoryBuilder::build(input);
        build.push_back(threadMs() - start);
        start = threadMs();
        model.setInventoryForTesting(std::move(inventory));
        list.push_back(threadMs() - start);
        start = threadMs();
        QCoreApplication::processEvents();
        paint.push_back(threadMs() - start);
    }
    const int steadyCalls = loggedCalls(state) - callsBefore;

    const double bareMs = median(bare);
    const double wholeMs = median(whole);
    const size_t processes = ProcReader::allPids().size();
    std::printf("processes: %zu (%zu children of this benchmark); %d rounds, medians of "
                "processor time (ms)\n",
                processes, crowd.size(), rounds);
    std::printf("  bare loop (list + read every stat):  %7.2f\n", bareMs);
    std::printf("  steady refresh, panel open:          %7.2f\n", wholeMs);
    std::printf("    sampling pass:                     %7.2f\n", median(pass));
    std::printf("    building:                          %7.2f\n", median(build));
    std::printf("    list model update:                 %7.2f\n", median(list));
    std::printf("    layout and painting:               %7.2f\n", median(paint));
    std::printf("  commands run in %d steady passes: %d (goal 0; launchd's children changing "
                "makes launchctl list run again)\n",
                2 * rounds, steadyCalls);
    std::printf("  at a refresh every 4 s: %.3f %% of one core\n", wholeMs / 4000.0 * 100.0);
    std::printf("refresh / bare loop: %.2f (goal <= 2)\n", wholeMs / bareMs);
    return 0;
}
