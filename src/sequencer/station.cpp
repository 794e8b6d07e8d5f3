#include "station.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include "jlink_install.h"
#endif

namespace {
QString& configuredDir()
{
    static QString dir;
    return dir;
}
} // namespace

QString stationDir()
{
    const QString& dir = configuredDir();
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

void setStationDir(const QString& dir)
{
    QString d = dir;
    while (d.size() > 1 && d.endsWith('/'))
        d.chop(1);
    configuredDir() = d;
}

bool isStationFolder(const QString& dir)
{
    const QDir folder(dir);
    return folder.exists(QStringLiteral("Production")) ||
           folder.exists(QStringLiteral("TestFiles"));
}

StationChoice chooseStationDir(const QString& given)
{
    StationChoice choice;
    if (!given.isEmpty()) {
        if (QFileInfo(given).isDir()) {
            choice.dir = QFileInfo(given).absoluteFilePath();
            choice.origin = QStringLiteral("given with --station-dir");
        } else {
            choice.error = QStringLiteral("station folder '%1' does not exist").arg(given);
        }
        return choice;
    }
    const QString program = QCoreApplication::applicationDirPath();
    if (isStationFolder(program)) {
        choice.dir = program;
        choice.origin = QStringLiteral("the program's own folder");
        return choice;
    }
    const QString named = qEnvironmentVariable("VELTORA_STATION_DIR");
    if (named.isEmpty()) {
        choice.error = QStringLiteral("no station folder: the program's folder %1 holds no "
                                      "Production/ or TestFiles/ and VELTORA_STATION_DIR is not "
                                      "set; give --station-dir DIR or set VELTORA_STATION_DIR")
                           .arg(QDir::toNativeSeparators(program));
    } else if (!QFileInfo(named).isDir()) {
        choice.error = QStringLiteral("VELTORA_STATION_DIR names no folder: '%1'").arg(named);
    } else {
        choice.dir = QFileInfo(named).absoluteFilePath();
        choice.origin = QStringLiteral("named by VELTORA_STATION_DIR");
    }
    return choice;
}

QString stationSkeleton()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../share/veltora/station"));
}

StationLayout::StationLayout(const QString& runFolder) : m_runFolder(stationDir() + runFolder) {}

// The record folders lie beside the run folder; the doubled slash is harmless.
QString StationLayout::publicKeysFile() const
{
    return commanderFolder() + QStringLiteral("/Keys/public_keys.json");
}

QString StationLayout::macFile() const
{
    return commanderFolder() + QStringLiteral("/MAC/MACs.txt");
}

QString StationLayout::commanderFolder() const
{
    return m_runFolder + QStringLiteral("../");
}

QString StationLayout::commanderScript() const
{
    return runFile(QStringLiteral("flashing-sequence.jlink"));
}

QString StationLayout::commanderProgram() const
{
#ifdef Q_OS_WIN
    // Never a JLink.exe from the PATH: a JDK brings a jlink.exe of its own.
    const QFileInfo local(commanderFolder() + QStringLiteral("JLink.exe"));
    if (local.isFile())
        return local.filePath();
    const std::wstring installed = installedJLinkCommander();
    return installed.empty() ? local.filePath() : QString::fromStdWString(installed);
#else
    const QFileInfo local(commanderFolder() + QStringLiteral("JLinkExe"));
    if (local.isFile() && local.isExecutable())
        return local.filePath();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("JLinkExe"));
    return onPath.isEmpty() ? local.filePath() : onPath;
#endif
}

// Straight from the station folder: a path through a run folder would not resolve when that
// folder is missing (a station used for fetches only).
QString StationLayout::logsFolder()
{
    return stationDir() + QStringLiteral("/Logs");
}

QString StationLayout::journalFile()
{
    return logsFolder() + QStringLiteral("/runs.jsonl");
}

QString StationLayout::dayLogFile(const QDate& utcDate)
{
    return logsFolder() + QLatin1Char('/') + utcDate.toString(Qt::ISODate) + QStringLiteral(".log");
}
