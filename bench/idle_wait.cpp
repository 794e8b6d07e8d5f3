// CPU cost of waiting for a device: a production run's search with no device present, next to the
// old way of listing (Qt's port listing every 50 ms). Prints each as a share of one core.
#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "flashing.h"
#include "logger.h"
#include "station.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Share of one core that fn took while running for the given time.
template <typename Fn> double coreShare(double seconds, Fn fn)
{
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    fn(seconds);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpuSeconds() - cpu0) / wall;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    const double qtListing = coreShare(seconds, [](double s) {
        const auto end = Clock::now() + std::chrono::duration<double>(s);
        while (Clock::now() < end) {
            QSerialPortInfo::availablePorts();
            QThread::msleep(50);
        }
    });

    // A real production run waiting in its device search, stopped after the time.
    QTemporaryDir station;
    QDir(station.path()).mkpath("Production");
    QFile list(station.filePath("Production/production_files.cfg"));
    list.open(QIODevice::WriteOnly);
    list.close();
    setStationDir(station.path());
    qputenv("VELTORA_EXTRA_PORTS", station.filePath("no-ports").toUtf8());
    const double search = coreShare(seconds, [](double s) {
        Logger_c logger;
        Flashing_c worker(1, true, "/Production/", true, &logger);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(s));
            worker.stop();
        });
        worker.runProduction();
        stopper.join();
    });

    std::printf("idle wait for a device, %.0f s each, share of one core:\n", seconds);
    std::printf("  Qt port listing every 50 ms (the old wait): %.2f %%\n", qtListing);
    std::printf("  production run's device search:             %.2f %% (goal <= 2 %%)\n", search);
    return 0;
}
