// What a station with the simulated device costs the tool: command round trip, a file download
// in 512-byte chunks into the device's file system, and a restart until the device answers again.
#include "devsim.h"
#include "usb_cdc_protocol.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    char dirTemplate[] = "/tmp/devsim-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    struct RemoveDir
    {
        std::string path;
        ~RemoveDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    } removeDir {dir};

    devsim::Config config;
    config.dir = dir;
    config.portsFile = dir + "/ports";
    config.fsRoot = dir + "/fs";
    config.rebootDelayMs = 0;
    devsim::Device device(config);
    if (!device.start())
        return 1;
    cUSB_CDC_Protocol link;
    const QString port = QString::fromStdString(device.portPath());
    if (link.open(port))
        return 1;

    std::vector<double> trips;
    for (int i = 0; i < 2000; ++i) {
        quint64 id = 0;
        const auto start = Clock::now();
        if (link.SendGetDeviceID(id))
            return 1;
        trips.push_back(msSince(start));
    }
    std::printf("GetDeviceID round trip: median %.3f ms, p99 %.3f ms (2000 trips)\n",
                percentile(trips, 0.5), percentile(trips, 0.99));

    const uint32_t size = 1024 * 1024;
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i)
        data[i] = uint8_t(i * 7);
    const auto start = Clock::now();
    bool failed = link.SendStartESP("Updates/bench.bin", size);
    for (uint32_t off = 0; off < size && !failed; off += 512)
        failed = link.SendWriteESP(off, data.data() + off, 512);
    failed = failed || link.SendEndESP();
    const double ms = msSince(start);
    if (failed)
        return 1;
    std::printf("1 MiB download in 512-byte chunks: %.0f ms, %.0f KiB/s\n", ms, 1024.0 / (ms / 1000.0));

    std::vector<double> restarts;
    for (int i = 0; i < 50; ++i) {
        const int plugs = device.plugCount();
        const auto t0 = Clock::now();
        // Timed whatever it answers: the restart below shows whether it happened.
        (void)link.SendReboot();
        const double rebootMs = msSince(t0);
        link.closeIfOpen();
        // The old port lingers for a few milliseconds; wait for the new one.
        while (device.plugCount() == plugs && msSince(t0) < 5000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        while (link.open(port) && msSince(t0) < 5000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        QString text;
        if (link.SendGetVersion(text))
            return 1;
        restarts.push_back(msSince(t0));
        if (i == 0)
            std::printf("SendReboot returns after %.2f ms\n", rebootMs);
    }
    std::printf("restart until the version answers (0 ms reboot delay): median %.2f ms, p99 %.2f ms\n",
                percentile(restarts, 0.5), percentile(restarts, 0.99));

    link.closeIfOpen();
    return 0;
}
