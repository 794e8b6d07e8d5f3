#include "jlink_commander.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include "serial_line.h"

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

} // namespace

JLinkCommander::JLinkCommander(const QString& script, const QString& program,
                               const QString& folder, const std::atomic<bool>& running)
    : m_script(script), m_program(program), m_folder(folder), m_running(running)
{
}

QString JLinkCommander::program(const QString& imageName, const QString& imagePath,
                                const std::function<void()>& whileRunning)
{
    m_exitCode = -1;
    if (imageName.isEmpty())
        return QStringLiteral("nRF image writing error #1");
    if (QFile::exists(m_script))
        QFile::remove(m_script);
    if (!QFile::exists(imagePath))
        return QStringLiteral("Can't open") + imageName + QStringLiteral(" nRF image file");

    QFile script(m_script);
    if (!script.open(QIODevice::NewOnly | QIODevice::WriteOnly))
        return QStringLiteral("nRF image writing error #2");
    const QByteArray text = commanderScript(imageName);
    // A buffered write can look complete and still fail on its way to the disk.
    if (script.write(text) != text.size() || !script.flush())
        return QStringLiteral("nRF image writing error #3");
    script.close();
    return run(whileRunning);
}

QString JLinkCommander::run(const std::function<void()>& whileRunning)
{
    QProcess commander;
    commander.setWorkingDirectory(m_folder);
    const QStringList arguments = {QStringLiteral("-commanderscript"),
                                   QStringLiteral("TestFiles//flashing-sequence.jlink")};
    commander.start(m_program, arguments, QIODevice::ReadWrite);
    // Waited for in read-window slices, so a stopped run kills the commander at once.
    bool finished = false;
    const QDeadlineTimer limit(m_timeoutMs);
    QElapsedTimer sinceCall;
    sinceCall.start();
    while (!finished && m_running && !limit.hasExpired()
           && commander.state() != QProcess::NotRunning) {
        const qint64 slice = qMin<qint64>(SerialLine::kReadWindowMs, limit.remainingTime());
        finished = commander.waitForFinished(int(slice));
        if (whileRunning && sinceCall.elapsed() >= 50) {
            whileRunning();
            sinceCall.restart();
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
        return QStringLiteral("stopped");
    if (!ended) {
        qDebug() << "J-Link commander did not finish:" << commander.errorString();
        return QStringLiteral("nRF image writing error #4");
    }
    if (commander.exitStatus() == QProcess::NormalExit)
        m_exitCode = commander.exitCode();
    // A commander that crashed or reported an error did not program the image.
    if (commander.exitStatus() != QProcess::NormalExit || commander.exitCode() != 0) {
        qDebug() << "J-Link commander failed, exit code" << commander.exitCode() << "crashed"
                 << (commander.exitStatus() != QProcess::NormalExit);
        return QStringLiteral("nRF image writing error #5");
    }
    return QString();
}
