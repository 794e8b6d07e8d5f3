#include "flashing.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "logger.h"
#include "port_list.h"
#include "serial_line.h"
#include "station.h"

namespace {

// The commander's script names the image relative to the commander's working directory.
QByteArray commanderScript(const QString& imageName)
{
    return (QStringLiteral("si SWD\n"
                           "speed auto\n"
                           "device nRF52840_xxAA\n"
                           "loadfile \"TestFiles//")
            + imageName + QStringLiteral("\"\nr\ng\nqc\n"))
        .toUtf8();
}

// Windows stations carry JLink.exe beside the tool. Elsewhere the vendor installs JLinkExe
// system-wide, so the station folder only overrides the one on the PATH.
QString commanderProgram(const QString& stationFolder)
{
#ifdef Q_OS_WIN
    return stationFolder + QStringLiteral("JLink.exe");
#else
    const QFileInfo local(stationFolder + QStringLiteral("JLinkExe"));
    if (local.isFile() && local.isExecutable())
        return local.filePath();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("JLinkExe"));
    return onPath.isEmpty() ? local.filePath() : onPath;
#endif
}

} // namespace

bool Flashing_c::programNrfImage(const QString& fileName)
{
    if (fileName.isEmpty()) {
        m_logger->logWithLabel(QStringLiteral("nRF image writing error #1"), 1);
        return false;
    }

    const QString folder = stationDir() + m_folder;
    const QString scriptPath = folder + QStringLiteral("flashing-sequence.jlink");
    if (QFile::exists(scriptPath))
        QFile::remove(scriptPath);

    if (!QFile::exists(folder + fileName)) {
        m_logger->logWithLabel(
            QStringLiteral("Can't open") + fileName + QStringLiteral(" nRF image file"), 1);
        return false;
    }

    QFile script(scriptPath);
    if (!script.open(QIODevice::NewOnly | QIODevice::WriteOnly)) {
        m_logger->logWithLabel(QStringLiteral("nRF image writing error #2"), 1);
        return false;
    }
    const QByteArray text = commanderScript(fileName);
    // A buffered write can look complete and still fail on its way to the disk.
    if (script.write(text) != text.size() || !script.flush()) {
        m_logger->logWithLabel(QStringLiteral("nRF image writing error #3"), 1);
        script.close();
        return false;
    }
    script.close();

    const QString workDir = folder + QStringLiteral("../");
    QProcess commander;
    commander.setWorkingDirectory(workDir);
    const QStringList arguments = {QStringLiteral("-commanderscript"),
                                   QStringLiteral("TestFiles//flashing-sequence.jlink")};
    commander.start(commanderProgram(workDir), arguments, QIODevice::ReadWrite);
    // Waited for in read-window slices, so a stopped run kills the commander at once.
    bool finished = false;
    QDeadlineTimer limit(m_commanderTimeoutMs);
    QElapsedTimer sinceListing;
    sinceListing.start();
    while (!finished && m_running && !limit.hasExpired()
           && commander.state() != QProcess::NotRunning) {
        const qint64 slice = qMin<qint64>(SerialLine::kReadWindowMs, limit.remainingTime());
        finished = commander.waitForFinished(int(slice));
        // The device may restart during programming: a known port that goes away meanwhile
        // must count as new when it comes back.
        if (!m_portsBefore.isEmpty() && sinceListing.elapsed() >= 50) {
            QStringList current;
            listDevicePorts(current);
            forgetVanishedPorts(current);
            sinceListing.restart();
        }
    }
    // Qt may report a crash as a failed wait; the commander ended all the same.
    const bool ended = finished
        || (commander.state() == QProcess::NotRunning && commander.error() == QProcess::Crashed);
    if (commander.state() != QProcess::NotRunning) {
        commander.kill();
        commander.waitForFinished(5000);
    }
    if (!m_running)
        return false;
    if (!ended) {
        qDebug() << "J-Link commander did not finish:" << commander.errorString();
        m_logger->logWithLabel(QStringLiteral("nRF image writing error #4"), 1);
        return false;
    }
    // A commander that crashed or reported an error did not program the image.
    if (commander.exitStatus() != QProcess::NormalExit || commander.exitCode() != 0) {
        qDebug() << "J-Link commander failed, exit code" << commander.exitCode() << "crashed"
                 << (commander.exitStatus() != QProcess::NormalExit);
        m_logger->logWithLabel(QStringLiteral("nRF image writing error #5"), 1);
        return false;
    }
    return true;
}
