#include "host_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "append_file.h"
#include "flashing.h"
#include "host_check_system.h"
#include "logger.h"
#include "port_access.h"
#include "port_claim.h"
#include "port_list.h"
#include "station.h"

namespace {

Finding ok(const QString& text)
{
    return Finding(Finding::Level::Ok, text);
}

Finding note(const QString& text)
{
    return Finding(Finding::Level::Note, text);
}

Finding problem(const QString& text)
{
    return Finding(Finding::Level::Problem, text);
}

QString shown(const QString& path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(path));
}

// A list read as a run reads it, so the doctor finds what a run would trip over; the lines the
// run would show are the problem.
struct ListCheck
{
    bool present = false;
    QStringList downloads;
    QStringList images;
};

ListCheck checkList(const QString& runFolder, const QString& listName, QList<Finding>& findings)
{
    ListCheck list;
    const QString name = runFolder.mid(1) + listName;
    list.present = QFileInfo(stationDir() + runFolder).isDir();
    if (!list.present)
        return list;
    Logger_c logger;
    QStringList lines;
    QObject::connect(&logger, &Logger_c::sigLine,
                     [&lines](const QString& text, LogColour, bool) { lines << text; });
    Flashing_c worker(0, true, runFolder, false, &logger);
    if (worker.readFileList(listName, list.downloads, list.images))
        findings << ok(name + QStringLiteral(": ok, c: %1, j: %2, every listed file there")
                                  .arg(list.downloads.size())
                                  .arg(list.images.size()));
    else
        findings << problem(name + QStringLiteral(": ") + lines.join(QStringLiteral("; ")));
    return list;
}

// A station file a run appends to: the record files and the journal.
Finding checkAppendable(const QString& name, const QString& path)
{
    const QString folder = shown(QFileInfo(path).path());
    switch (appendBlocker(path)) {
    case AppendBlocker::None:
        return ok(name + QStringLiteral(": ok"));
    case AppendBlocker::NoFolder:
        return problem(name + QStringLiteral(": no folder ") + folder +
                       QStringLiteral("; create it, writable for this account (veltora-cli "
                                      "init-station adds the station's missing folders)"));
    case AppendBlocker::NotAppendable:
        return problem(name + QStringLiteral(": ") + shown(path) +
                       QStringLiteral(" cannot be appended to; make it a regular file this account "
                                      "may write"));
    case AppendBlocker::DiskFull:
        break;
    }
    return problem(name + QStringLiteral(": less than 1 MiB free on the disk of ") + folder +
                   QStringLiteral("; free some space"));
}

Finding checkJournal()
{
    const QString name = QStringLiteral("Logs/runs.jsonl");
    const QFileInfo logs(StationLayout::logsFolder());
    if (logs.exists() || logs.isSymLink())
        return checkAppendable(name, StationLayout::journalFile());
    if (QFileInfo(stationDir()).isWritable())
        return ok(name + QStringLiteral(": ok, the first run makes Logs/"));
    return problem(name + QStringLiteral(": no folder Logs/, and this account may not make it; "
                                         "create it, writable for this account"));
}

// Started with a script that only quits: it touches no probe's target, and a commander that
// waits for an answer is cut off by the time-out.
Finding runCommander(const QString& program, const QString& where, bool needed, int timeoutMs)
{
    const QString name = QStringLiteral("J-Link commander ") + shown(program) +
                         QStringLiteral(" (") + where + QLatin1Char(')');
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("doctor.jlink")));
    if (!dir.isValid() || !script.open(QIODevice::WriteOnly) || script.write("exit\n") != 5)
        return note(name + QStringLiteral(": not started, no temporary script could be written"));
    script.close();
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program,
                  {QStringLiteral("-NoGui"), QStringLiteral("1"), QStringLiteral("-ExitOnError"),
                   QStringLiteral("1"), QStringLiteral("-CommanderScript"), script.fileName()});
    process.closeWriteChannel();
    const Finding::Level failure = needed ? Finding::Level::Problem : Finding::Level::Note;
    if (!process.waitForStarted(timeoutMs))
        return Finding(failure, name + QStringLiteral(": cannot be started (") +
                                    process.errorString() +
                                    QStringLiteral("); reinstall the J-Link software"));
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return Finding(failure, name + QStringLiteral(": did not end within %1 s; start it by hand "
                                                      "to see what it waits for")
                                           .arg(timeoutMs / 1000));
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return Finding(failure, name + QStringLiteral(": crashed; reinstall the J-Link software"));
    const QString output = QString::fromLocal8Bit(process.readAll());
    QString version;
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("SEGGER J-Link Commander"))) {
            version = QStringLiteral(" (") + line.trimmed() + QLatin1Char(')');
            break;
        }
    }
    if (output.contains(QLatin1String("Connecting to J-Link via USB...FAILED")))
        return note(name + QStringLiteral(": runs") + version +
                    QStringLiteral(", but no J-Link probe answered; connect the probe before a "
                                   "test run"));
    return ok(name + QStringLiteral(": ok, runs") + version);
}

void checkCommander(bool needed, int timeoutMs, QList<Finding>& findings)
{
    const QString program = StationLayout(QStringLiteral("/TestFiles/")).commanderProgram();
    const QFileInfo info(program);
    if (!info.isFile()) {
        const QString text =
            QStringLiteral("J-Link commander: not found in the station folder or ") +
            installedCommanderPlace() + QStringLiteral("; install the J-Link software");
        findings << (needed ? problem(text)
                            : note(text + QStringLiteral(" before the station runs test runs")));
        return;
    }
    const bool local = QDir(info.absolutePath()) == QDir(stationDir());
    findings << runCommander(info.absoluteFilePath(),
                             local ? QStringLiteral("in the station folder")
                                   : installedCommanderPlace(),
                             needed, timeoutMs);
}

void checkPorts(QList<Finding>& findings)
{
    const QList<PortEntry> ports = devicePortEntries();
    if (ports.isEmpty())
        findings << note(QStringLiteral("Device ports: none seen (USB vendor ids 2C0D and 1915); "
                                        "plug a device in to check its port"));
    const QString user = accountName();
    for (const PortEntry& port : ports) {
        const QString name =
            QStringLiteral("Device port ") + port.name + QStringLiteral(" (USB vendor id ") +
            QStringLiteral("%1").arg(port.vendorId, 4, 16, QLatin1Char('0')).toUpper() +
            QLatin1Char(')');
        const PortAccess access = portAccess(port.name);
        if (access.mayOpen)
            findings << ok(name + QStringLiteral(": ok, this account may open it"));
        else
            findings << problem(name + QStringLiteral(": this account may not open it; ") +
                                accessAdvice(access, user));
    }
}

void checkStation(const HostCheckSettings& settings, QList<Finding>& findings)
{
    const StationChoice choice = chooseStationDir(settings.stationDir);
    if (choice.dir.isEmpty()) {
        QString why = choice.error;
        why.remove(QRegularExpression(QStringLiteral("^no station folder: ")));
        findings << problem(QStringLiteral("Station folder: ") + why +
                            QStringLiteral("; veltora-cli init-station DIR makes one"));
        return;
    }
    setStationDir(choice.dir);
    const QString name = QStringLiteral("Station folder ") + shown(choice.dir) +
                         QStringLiteral(" (") + choice.origin + QLatin1Char(')');
    if (!isStationFolder(choice.dir)) {
        findings << problem(name +
                            QStringLiteral(": holds neither Production/ nor TestFiles/; "
                                           "veltora-cli init-station ") +
                            shown(choice.dir) + QStringLiteral(" adds them"));
        return;
    }
    findings << ok(name + QStringLiteral(": ok"));

    const ListCheck production =
        checkList(QStringLiteral("/Production/"), QStringLiteral("production_files.cfg"), findings);
    const ListCheck test =
        checkList(QStringLiteral("/TestFiles/"), QStringLiteral("test_files.cfg"), findings);
    if (!production.present)
        findings << note(QStringLiteral("Production/: none, so this station runs no production "
                                        "runs"));
    if (!test.present)
        findings << note(QStringLiteral("TestFiles/: none, so this station runs no test runs"));
    if (production.present) {
        const StationLayout layout(QStringLiteral("/Production/"));
        findings << checkAppendable(QStringLiteral("Keys/public_keys.json"),
                                    layout.publicKeysFile());
        findings << checkAppendable(QStringLiteral("MAC/MACs.txt"), layout.macFile());
    }
    findings << checkJournal();
    checkCommander(!test.images.isEmpty(), settings.commanderTimeoutMs, findings);
}

} // namespace

QList<Finding> checkHost(const HostCheckSettings& settings)
{
    QList<Finding> findings;
    checkStation(settings, findings);
    checkPorts(findings);
    checkSystem(settings, findings);
    findings << checkLockFolder(PortClaim::lockFolderPath());
    return findings;
}

int problemCount(const QList<Finding>& findings)
{
    int n = 0;
    for (const Finding& f : findings)
        n += f.level == Finding::Level::Problem;
    return n;
}
