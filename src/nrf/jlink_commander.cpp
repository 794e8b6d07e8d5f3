#include "jlink_commander.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <iterator>

#include "stop_token.h"

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

// Lines with which the J-Link commander reports a failed script step, matched at the start of a
// line, so that lines such as "Reset delay: 0 ms" or "Cortex-M4 identified." never count.
// Commanders older than the -ExitOnError option end with 0 after them, so they fail the image
// whatever the exit code.
const char* const kFailureLines[] = {
    // Connecting over SWD: the target has no power, is not wired, or its access port protection
    // is on and the unlock was declined (or nobody could answer the question).
    "Cannot connect to target",
    // No probe on USB, or none with the serial number given with -USB.
    "Connecting to J-Link via USB...FAILED",
    // loadfile: programming the flash, then reading it back.
    "Writing failed",
    "Verification failed",
    // Files, devices and probes it could not open or find ("Could not open file", ...).
    "Could not",
    // The J-Link library's own errors, some versions in capitals.
    "ERROR",
    "Error",
    // A script command this commander version does not know.
    "Unknown command",
};

bool isFailureLine(const QString& line)
{
    return std::any_of(
        std::begin(kFailureLines), std::end(kFailureLines),
        [&line](const char* failure) { return line.startsWith(QLatin1String(failure)); });
}

// The commander's output taken line by line as it comes: passed on up to a limit and searched
// for its first failure line. Holds no more than one unfinished line, however much it prints.
class OutputLines
{
public:
    explicit OutputLines(const std::function<void(const QString&)>& onLine) : m_onLine(onLine) {}

    void add(const QByteArray& bytes)
    {
        m_partial += bytes;
        const int limit = JLinkCommander::kMaxLineBytes;
        int start = 0;
        for (;;) {
            const int end = m_partial.indexOf('\n', start);
            const int length = (end < 0 ? m_partial.size() : end) - start;
            if (length > limit) {
                take(m_partial.mid(start, limit));
                start += limit;
            } else if (end >= 0) {
                take(m_partial.mid(start, length));
                start = end + 1;
            } else {
                break;
            }
        }
        m_partial.remove(0, start);
    }

    // Once the commander has ended: its last line may lack a line end.
    void finish()
    {
        take(m_partial);
        m_partial.clear();
        const int leftOut = m_lines - JLinkCommander::kMaxOutputLines;
        if (leftOut > 0 && m_onLine)
            m_onLine(QString::number(leftOut) +
                     QStringLiteral(" more lines of the J-Link commander's output left out"));
    }

    QString failure() const { return m_failure; }

private:
    void take(QByteArray line)
    {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return;
        const QString text = QString::fromLocal8Bit(line);
        if (m_failure.isEmpty() && isFailureLine(text))
            m_failure = text;
        if (++m_lines <= JLinkCommander::kMaxOutputLines && m_onLine)
            m_onLine(text);
    }

    const std::function<void(const QString&)>& m_onLine;
    QByteArray m_partial;
    int m_lines = 0;
    QString m_failure;
};

QString notStartedLine(const QString& program)
{
#ifdef Q_OS_WIN
    const QString where = QStringLiteral("there or with its installer");
#else
    const QString where = QStringLiteral("there or on the PATH");
#endif
    return QStringLiteral("The J-Link commander ") +
           QDir::toNativeSeparators(QDir::cleanPath(program)) +
           QStringLiteral(" could not be started: the J-Link software must be installed ") + where;
}

} // namespace

JLinkCommander::JLinkCommander(const QString& script, const QString& program, const QString& folder,
                               const StopToken& stop)
    : m_script(script), m_program(program), m_folder(folder), m_stop(stop)
{
}

QString JLinkCommander::program(const QString& imageName, const QString& imagePath,
                                const std::function<void()>& whileRunning)
{
    m_exitCode = -1;
    m_failureLine.clear();
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
    commander.setProcessChannelMode(QProcess::MergedChannels);
    // Nobody at a station answers: a question reads the end of its input and ends the script.
    commander.setStandardInputFile(QProcess::nullDevice());
    // No dialogs, and a failed step ends the script with a non-zero exit code.
    QStringList arguments = {QStringLiteral("-NoGui"), QStringLiteral("1"),
                             QStringLiteral("-ExitOnError"), QStringLiteral("1")};
    if (!m_probeSerial.isEmpty())
        arguments << QStringLiteral("-USB") << m_probeSerial;
    arguments << QStringLiteral("-commanderscript")
              << QStringLiteral("TestFiles//flashing-sequence.jlink");
    commander.start(m_program, arguments, QIODevice::ReadOnly);
    OutputLines output(m_onOutput);
    // Waited for in slices of the stop check, so a stopped run kills the commander at once; its
    // output is taken at every slice, so none piles up.
    bool finished = false;
    const QDeadlineTimer limit(m_timeoutMs);
    QElapsedTimer sinceCall;
    sinceCall.start();
    while (!finished && !m_stop.stopped() && !limit.hasExpired() &&
           commander.state() != QProcess::NotRunning) {
        const qint64 slice = qMin<qint64>(StopToken::kCheckMs, limit.remainingTime());
        finished = commander.waitForFinished(int(slice));
        output.add(commander.readAll());
        if (whileRunning && sinceCall.elapsed() >= 50) {
            whileRunning();
            sinceCall.restart();
        }
    }
    // Qt may report a crash as a failed wait; the commander ended all the same.
    const bool ended = finished
        || (commander.state() == QProcess::NotRunning && commander.error() == QProcess::Crashed);
    const bool started = commander.error() != QProcess::FailedToStart;
    if (commander.state() != QProcess::NotRunning) {
        commander.kill();
        commander.waitForFinished(5000);
    }
    output.add(commander.readAll());
    output.finish();
    m_failureLine = started ? output.failure() : notStartedLine(m_program);
    if (m_stop.stopped())
        return QStringLiteral("stopped");
    if (!ended) {
        qDebug() << "J-Link commander did not finish:" << commander.errorString();
        return QStringLiteral("nRF image writing error #4");
    }
    if (commander.exitStatus() == QProcess::NormalExit)
        m_exitCode = commander.exitCode();
    // A commander that crashed or reported an error did not program the image.
    if (commander.exitStatus() != QProcess::NormalExit || commander.exitCode() != 0 ||
        !m_failureLine.isEmpty()) {
        qDebug() << "J-Link commander failed, exit code" << commander.exitCode() << "crashed"
                 << (commander.exitStatus() != QProcess::NormalExit);
        return QStringLiteral("nRF image writing error #5");
    }
    return QString();
}
