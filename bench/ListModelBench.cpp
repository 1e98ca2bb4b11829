// How long one refresh of the list takes with 1,000 items: the model's
// filter and sort, the row model's update (data change or reset), the row
// layout and a repaint of the visible rows, offscreen. Goal: under 16 ms.

#include <algorithm>
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QIcon>
#include <QListView>
#include <QSettings>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "window/ItemIcon.h"
#include "window/ListScreen.h"

namespace {

constexpr int itemCount = 1000;
constexpr int rounds = 30;

Timestamp now() {
    return static_cast<Timestamp>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

Inventory makeInventory(int generation, bool reorder) {
    Inventory inventory;
    inventory.sampledAt = now();
    for (int i = 0; i < itemCount; ++i) {
        BackgroundItem item;
        item.id = QStringLiteral("cmd:%1").arg(i);
        item.name = QStringLiteral("worker-%1").arg(i);
        item.explanation =
            QStringLiteral("A command started from a terminal in ~/src/project-%1.").arg(i % 17);
        ProcSnapshot primary;
        primary.pid = 1000 + i;
        primary.name = item.name;
        primary.path = QStringLiteral("/usr/local/bin/") + item.name;
        primary.startDate = inventory.sampledAt - 60.0 * (i + 1);
        item.primary = primary;
        item.members = {primary};
        // The same order each pass unless asked to shuffle it.
        const quint64 base = static_cast<quint64>(itemCount - i) * 1'000'000;
        item.memory =
            reorder
                ? base + static_cast<quint64>((i * 7919 + generation * 104729) % 997) * 1'000'003
                : base + static_cast<quint64>(generation);
        item.cpuPercent = (i % 5) * 3.3;
        if (i % 3 == 0)
            item.ports = {3000 + i, 4000 + i, 5000 + i};
        item.origin.kind = Origin::Case::terminal;
        inventory.running.append(item);
    }
    return inventory;
}

struct Timing {
    double mean = 0;
    double worst = 0;
};

template <typename Step> Timing measure(Step step) {
    Timing timing;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        step(round);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        timing.mean += ms / rounds;
        timing.worst = std::max(timing.worst, ms);
    }
    return timing;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_REDUCE_MOTION", "1");
    QApplication application(argc, argv);
    ItemIcon::useSymbolTheme();

    QTemporaryDir dir;
    AppModel model(BenchSupport::modelEnvironment(dir));
    ListScreen screen(&model, false);
    screen.resize(380, 560);
    screen.show();

    const auto refresh = [&](const Inventory& inventory) {
        model.setInventoryForTesting(inventory);
        screen.repaint();
    };

    QElapsedTimer first;
    first.start();
    refresh(makeInventory(0, false));
    const double firstMs = static_cast<double>(first.nsecsElapsed()) / 1e6;

    QList<Inventory> same;
    QList<Inventory> shuffled;
    for (int round = 0; round < rounds; ++round) {
        same.append(makeInventory(round + 1, false));
        shuffled.append(makeInventory(round + 1, true));
    }
    const Timing steady = measure([&](int round) { refresh(same[round]); });
    const Timing reordered = measure([&](int round) { refresh(shuffled[round]); });

    // The model's share: filter, search and sort of the running items.
    const Timing lists = measure([&](int) {
        const QList<BackgroundItem> shown = model.visibleRunning();
        (void)shown;
    });

    std::printf("list refresh with %d items (ms), goal < 16\n", itemCount);
    std::printf("  first pass (layout of every row):   %7.2f\n", firstMs);
    std::printf("  same rows, new figures:  mean %7.2f  worst %7.2f\n", steady.mean, steady.worst);
    std::printf("  rows reordered (reset):  mean %7.2f  worst %7.2f\n", reordered.mean,
                reordered.worst);
    std::printf("  of which the model's visible list:  mean %7.2f\n", lists.mean);
    std::printf("  steady refresh / goal: %.2f\n", steady.mean / 16.0);
    return 0;
}
