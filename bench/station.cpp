// veltora-cli station against simulated units with real-world timing: answers in 64-byte USB
// packets with gaps, about 2 ms to write each chunk into flash, a restart of about 1.5 s, and a
// production list of 1 MiB. For 1, 2, 4 and 8 slots: the units per hour, their ratio to one slot,
// and the CPU time of the station's own process per unit (its wait4 rusage, not the units').
//   station [units] [slots...]      (default: 8 units; 1 2 4 8 slots)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "devsim.h"

extern char** environ;

namespace {

constexpr int kListBytes = 1024 * 1024;
constexpr int kFlashWriteUs = 2000;
constexpr int kRestartMs = 1500;
constexpr int kUsbGapMaxUs = 1000;

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A station folder whose production list is one firmware file of 1 MiB.
bool makeStation(const QString& dir)
{
    QByteArray firmware(kListBytes, '\0');
    for (int i = 0; i < firmware.size(); ++i)
        firmware[i] = char((i * 31 + i / 511) & 0xFF);
    return writeFile(dir + "/Production/production_files.cfg", "c:firmware.bin\r\n") &&
           writeFile(dir + "/Production/firmware.bin", firmware) && QDir().mkpath(dir + "/Keys") &&
           QDir().mkpath(dir + "/MAC");
}

struct Round
{
    int slotCount = 0;
    int passed = 0;
    double wallS = 0;
    double cpuS = 0;      // the station process's user and system time
    double unitWallS = 0; // a unit's run, on average
};

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// One veltora-cli station over every unit, until each has finished.
bool runStation(const QString& dir, int units, int slotCount, Round& round)
{
    const QString out = dir + "/events.jsonl";
    const QByteArray cli = VELTORA_CLI;
    const QByteArray station = QFile::encodeName(dir);
    const QByteArray slotText = QByteArray::number(slotCount);
    const QByteArray countText = QByteArray::number(units);
    char* argv[] = {const_cast<char*>(cli.constData()), const_cast<char*>("station"),
                    const_cast<char*>("--station-dir"), const_cast<char*>(station.constData()),
                    const_cast<char*>("--first-id"),    const_cast<char*>("1"),
                    const_cast<char*>("--slots"),       const_cast<char*>(slotText.constData()),
                    const_cast<char*>("--count"),       const_cast<char*>(countText.constData()),
                    const_cast<char*>("--json"),        nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, QFile::encodeName(out).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status))
        return false;
    round.wallS = wall.nsecsElapsed() / 1e9;
    round.cpuS = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    round.slotCount = slotCount;
    QFile events(out);
    if (!events.open(QIODevice::ReadOnly))
        return false;
    double unitMs = 0;
    while (!events.atEnd()) {
        const QJsonObject e = QJsonDocument::fromJson(events.readLine()).object();
        if (e["event"] == "finished" && e["result"] == "pass") {
            ++round.passed;
            unitMs += e["elapsed_ms"].toDouble();
        }
    }
    round.unitWallS = round.passed ? unitMs / round.passed / 1000 : 0;
    return WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int units = args.size() > 1 ? args[1].toInt() : 8;
    QList<int> slotCounts;
    for (int i = 2; i < args.size(); ++i)
        slotCounts << args[i].toInt();
    if (slotCounts.isEmpty())
        slotCounts = {1, 2, 4, 8};
    if (units < 1 || units > 64)
        return 2;

    QTemporaryDir bench;
    const QString portsFile = bench.path() + "/ports";
    qputenv("VELTORA_EXTRA_PORTS", QFile::encodeName(portsFile));
    writeFile(portsFile, {});
    std::vector<std::unique_ptr<devsim::Device>> devices;
    for (int i = 0; i < units; ++i) {
        devsim::Config c;
        c.dir = bench.path().toStdString();
        c.portsFile = portsFile.toStdString();
        c.linkName = "ttyBENCH" + std::to_string(i);
        c.fsRoot = (bench.path() + "/fs" + QString::number(i)).toStdString();
        c.usbSerial = "BENCH" + std::to_string(i);
        c.rebootDelayMs = kRestartMs;
        c.flashWriteUs = kFlashWriteUs;
        c.usbPacketBytes = 64;
        c.usbGapMaxUs = kUsbGapMaxUs;
        c.seed = unsigned(i + 1);
        c.publicKey = std::vector<uint8_t>(64, uint8_t(i));
        devices.emplace_back(new devsim::Device(c));
        if (!devices.back()->start())
            return 1;
    }

    std::printf("%d units, production list of %d KiB, flash write %d us per chunk, restart %d ms, "
                "USB packets of 64 bytes up to %d us apart\n",
                units, kListBytes / 1024, kFlashWriteUs, kRestartMs, kUsbGapMaxUs);
    std::printf("| slots | wall time | units/h | ratio to 1 slot | a unit's run | station CPU per "
                "unit | share of a unit's run |\n|---|---|---|---|---|---|---|\n");
    double oneSlotRate = 0;
    bool ok = true;
    for (int slotCount : slotCounts) {
        // Every unit back from the last round's final restart, and a fresh station folder, so
        // that each round starts its units from the first ID.
        for (const auto& device : devices) {
            for (int waited = 0; !device->plugged() && waited < 10000; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const QString station = bench.path() + "/station-" + QString::number(slotCount);
        Round round;
        if (!makeStation(station) || !runStation(station, units, slotCount, round) ||
            round.passed != units) {
            std::printf("| %d | failed: %d of %d units passed |\n", slotCount, round.passed, units);
            ok = false;
            continue;
        }
        const double rate = units / round.wallS * 3600;
        if (oneSlotRate == 0 && slotCount == 1)
            oneSlotRate = rate;
        const double cpuPerUnit = round.cpuS / units;
        std::printf("| %d | %.1f s | %.0f | %s | %.2f s | %.3f s | %.2f %% |\n", slotCount,
                    round.wallS, rate,
                    oneSlotRate > 0 ? qPrintable(QString::number(rate / oneSlotRate, 'f', 2)) : "-",
                    round.unitWallS, cpuPerUnit, 100 * cpuPerUnit / round.unitWallS);
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}
