// Cost of the interface manager's once-a-second pass over a list of fake
// Ethernet adapters: wall time per pass and the settings-store traffic it
// causes (file opens, reads, writes, renames, as inotify sees them on the
// emulated registry). Baselines measured in the same run: a pass over an
// empty adapter list, and one settings object opened to read one value.
//
// Usage: bench_netconfig [adapters=10] [passes=200]
#include "common/RegistryStore.h"
#include "netconfig/NetworkInterfaceManager.h"
#include "platform/AdapterSource.h"
#include "platform/Platform.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

class FixedAdapters : public AdapterSource
{
public:
    QVector<AdapterInfo> adapters;
    bool list(QVector<AdapterInfo>& out) override
    {
        out = adapters;
        return true;
    }
};

struct Traffic
{
    long opens = 0;
    long reads = 0;
    long writes = 0; // closed after writing
    long creates = 0;
    long renames = 0;
};

// Counts file events in the folders of the emulated registry.
class StoreWatch
{
public:
    explicit StoreWatch(const QStringList& folders)
    {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const QString& folder : folders)
            inotify_add_watch(fd, QFile::encodeName(folder).constData(),
                              IN_OPEN | IN_ACCESS | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO);
    }
    ~StoreWatch() { ::close(fd); }
    StoreWatch(const StoreWatch&) = delete;
    StoreWatch& operator=(const StoreWatch&) = delete;

    Traffic drain()
    {
        Traffic traffic;
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t size = ::read(fd, buffer, sizeof buffer);
            if (size <= 0)
                break;
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_OPEN)
                    ++traffic.opens;
                if (event->mask & IN_ACCESS)
                    ++traffic.reads;
                if (event->mask & IN_CLOSE_WRITE)
                    ++traffic.writes;
                if (event->mask & IN_CREATE)
                    ++traffic.creates;
                if (event->mask & IN_MOVED_TO)
                    ++traffic.renames;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return traffic;
    }

private:
    int fd = -1;
};

struct Figures
{
    double medianUs = 0;
    double meanUs = 0;
    double maxUs = 0;
    Traffic perPass;
};

Figures measure(int passes, StoreWatch& watch, const std::function<void()>& prepare,
                const std::function<void()>& pass)
{
    std::vector<double> times;
    Traffic total;
    for (int i = 0; i < passes; ++i) {
        prepare();
        watch.drain(); // what the preparation caused is not the pass's
        QElapsedTimer timer;
        timer.start();
        pass();
        times.push_back(timer.nsecsElapsed() / 1000.0);
        const Traffic t = watch.drain();
        total.opens += t.opens;
        total.reads += t.reads;
        total.writes += t.writes;
        total.creates += t.creates;
        total.renames += t.renames;
    }
    Figures figures;
    std::sort(times.begin(), times.end());
    figures.medianUs = times[times.size() / 2];
    figures.maxUs = times.back();
    double sum = 0;
    for (double t : times)
        sum += t;
    figures.meanUs = sum / times.size();
    figures.perPass = {total.opens / passes, total.reads / passes, total.writes / passes,
                       total.creates / passes, total.renames / passes};
    return figures;
}

void print(const char* what, const Figures& f)
{
    std::printf("%-44s %9.0f %9.0f %9.0f %6ld %6ld %6ld %6ld %6ld\n", what, f.medianUs, f.meanUs, f.maxUs,
                f.perPass.opens, f.perPass.reads, f.perPass.writes, f.perPass.creates, f.perPass.renames);
}

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    application.setOrganizationName(ConstData::getOrgName());
    application.setApplicationName(ConstData::getAppName());
    qInstallMessageHandler(quiet);
    const QStringList arguments = application.arguments();
    const int count = arguments.size() > 1 ? arguments.at(1).toInt() : 10;
    const int passes = arguments.size() > 2 ? std::max(1, arguments.at(2).toInt()) : 200;

    QTemporaryDir state;
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(state.path()));
    const QStringList roots = ConstData::getAddrFileDns().split(QLatin1Char(':'));
    const QString rootV4 = roots.value(0);
    const QString rootV6 = roots.value(1);

    FixedAdapters adapters;
    Platform::setAdapterSource(&adapters);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("{00000000-0000-0000-0000-%1}").arg(i, 12, 10, QLatin1Char('0'));
        names << name;
        auto v4 = RegistryStore::open(rootV4 + name);
        v4->setValue(QStringLiteral("EnableDHCP"), 1);
        v4->setValue(QStringLiteral("DhcpNameServer"), QStringLiteral("10.0.%1.1 10.0.%1.2").arg(i));
        v4->setValue(QStringLiteral("NameServer"), QString());
        auto v6 = RegistryStore::open(rootV6 + name);
        v6->setValue(QStringLiteral("NameServer"), QStringLiteral("2001:db8:%1::53").arg(i));
    }
    UserData::getStatusLog(); // the agent's settings file exists from start-up on
    const QString storeFolder =
        QFileInfo(RegistryStore::filePathFor(RegistryStore::stateDirectory(), ConstData::getAddressConf()))
            .absolutePath();
    const QString keysV4 =
        QFileInfo(RegistryStore::filePathFor(RegistryStore::stateDirectory(), rootV4 + QStringLiteral("x")))
            .absolutePath();
    const QString keysV6 =
        QFileInfo(RegistryStore::filePathFor(RegistryStore::stateDirectory(), rootV6 + QStringLiteral("x")))
            .absolutePath();
    QDir().mkpath(keysV4);
    QDir().mkpath(keysV6);
    StoreWatch watch({storeFolder, keysV4, keysV6});

    std::printf("interface manager pass, %d fake Ethernet adapters, %d passes each; store = emulated "
                "registry (INI)\n",
                count, passes);
    std::printf("%-44s %9s %9s %9s %6s %6s %6s %6s %6s\n", "case (per pass)", "median us", "mean us",
                "max us", "opens", "reads", "writes", "create", "rename");

    // Baseline: one settings object opened and one value read.
    print("baseline: open settings + read one value",
          measure(
              passes, watch, [] {},
              [] {
                  auto store = RegistryStore::open(ConstData::getAddressConf());
                  store->value(QStringLiteral("CONTROL/LOG_STATUS"));
              }));

    // Baseline: a pass with nothing to protect.
    {
        FixedAdapters none;
        Platform::setAdapterSource(&none);
        NetworkInterfaceManager empty(ConstData::getAddrFileDns());
        print("baseline: pass over 0 adapters", measure(
                                                    passes, watch, [] {}, [&] { empty.slotChangedFile(); }));
        Platform::setAdapterSource(&adapters);
    }

    for (const QString& name : names)
        adapters.adapters << AdapterInfo{
            name, QStringLiteral("Ethernet ") + name.right(2), AdapterSource::Ethernet, true, {}};

    std::unique_ptr<NetworkInterfaceManager> manager;
    QElapsedTimer timer;
    watch.drain();
    timer.start();
    manager = std::make_unique<NetworkInterfaceManager>(ConstData::getAddrFileDns());
    Figures first;
    first.medianUs = first.meanUs = first.maxUs = timer.nsecsElapsed() / 1000.0;
    first.perPass = watch.drain();
    print("constructor: backups + first pass", first);

    print("steady pass (values already pointed)",
          measure(
              passes, watch, [] {}, [&] { manager->slotChangedFile(); }));

    // Every interface's values rewritten behind the agent's back before each pass.
    print("pass after all values were changed",
          measure(
              passes, watch,
              [&] {
                  for (const QString& name : names) {
                      auto v4 = RegistryStore::open(rootV4 + name);
                      v4->setValue(QStringLiteral("NameServer"), QStringLiteral("198.51.100.1"));
                      v4->setValue(QStringLiteral("DhcpNameServer"), QStringLiteral("198.51.100.2"));
                      auto v6 = RegistryStore::open(rootV6 + name);
                      v6->setValue(QStringLiteral("NameServer"), QStringLiteral("2001:db8:ffff::1"));
                  }
              },
              [&] { manager->slotChangedFile(); }));

    watch.drain();
    timer.restart();
    manager->restoreAllInterface();
    Figures restore;
    restore.medianUs = restore.meanUs = restore.maxUs = timer.nsecsElapsed() / 1000.0;
    restore.perPass = watch.drain();
    print("restoreAllInterface (once)", restore);
    Platform::setAdapterSource(nullptr);
    return 0;
}
