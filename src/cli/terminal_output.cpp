#include "terminal_output.h"

#include "logger.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

const char kReset[] = "\033[0m";
const char kRed[] = "\033[31m";
const char kGreen[] = "\033[32m";
const char kYellow[] = "\033[33m";

QString formatBytes(qint64 n)
{
    if (n < 1024)
        return QString::number(n) + QStringLiteral(" B");
    if (n < 1024 * 1024)
        return QString::number(double(n) / 1024, 'f', 1) + QStringLiteral(" KiB");
    return QString::number(double(n) / (1024 * 1024), 'f', 1) + QStringLiteral(" MiB");
}

bool g_verbose = false;

void traceHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg && !g_verbose)
        return;
    std::fprintf(stderr, "%s\n", qUtf8Printable(escapeControls(message)));
}

} // namespace

bool isTerminal(FILE* stream)
{
    return isatty(fileno(stream));
}

int terminalColumns(FILE* stream)
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE console = HANDLE(_get_osfhandle(fileno(stream)));
    if (!GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
#endif
}

LineStyle lineStyle(bool terminal, const QByteArray& noColor)
{
    return terminal && noColor.isEmpty() ? LineStyle::Colour : LineStyle::Prefix;
}

LineStyle stdoutStyle()
{
    return lineStyle(isTerminal(stdout), qgetenv("NO_COLOR"));
}

QString formatLogLine(const QString& text, LogColour colour, LineStyle style)
{
    // Red errors, yellow warnings, blue results, green successes; anything else plain.
    struct Kind
    {
        const char* ansi;
        const char* tag;
    };
    const Kind kind = [colour]() -> Kind {
        switch (colour) {
        case LogColour::Red:
            return {kRed, "[E] "};
        case LogColour::Yellow:
            return {kYellow, "[W] "};
        case LogColour::Blue:
            return {"\033[34m", "[I] "};
        case LogColour::Green:
            return {kGreen, "[OK] "};
        case LogColour::Black:
            break;
        }
        return {nullptr, "[.] "};
    }();
    // Device texts reach the terminal: no escape sequence or line break of theirs may act there.
    const QString escaped = escapeControls(text);
    if (style == LineStyle::Prefix)
        return QLatin1String(kind.tag) + escaped;
    if (!kind.ansi)
        return escaped;
    return QLatin1String(kind.ansi) + escaped + QLatin1String(kReset);
}

QString formatVerdict(Verdict verdict, const QString& kind, std::optional<quint64> deviceId,
                      qint64 elapsedMs, LineStyle style)
{
    static const char* const kWords[] = {"PASS", "FAIL", "STOPPED"};
    static const char* const kAnsi[] = {kGreen, kRed, kYellow};
    const int v = int(verdict);
    QString line = QLatin1String(kWords[v]) + QLatin1Char(' ') + kind;
    if (deviceId)
        line += QStringLiteral(", Device ID ") + QString::number(*deviceId);
    line += QStringLiteral(", ") + QString::number(double(elapsedMs) / 1000, 'f', 1) +
            QStringLiteral(" s");
    if (style == LineStyle::Colour)
        return QLatin1String(kAnsi[v]) + line + QLatin1String(kReset);
    return line;
}

QString formatTransfer(const QString& name, qint64 done, qint64 total, qint64 elapsedNs)
{
    const int width = 20;
    const int filled = total > 0 ? int(done * width / total) : width;
    QString text = escapeControls(name) + QStringLiteral(" [") + QString(filled, '#') +
                   QString(width - filled, ' ') + QStringLiteral("] ") + formatBytes(done) +
                   QStringLiteral(" of ") + formatBytes(total);
    if (elapsedNs > 0 && done > 0)
        text += QStringLiteral(", ") + formatBytes(qint64(double(done) * 1e9 / double(elapsedNs))) +
                QStringLiteral("/s");
    return text;
}

void ProgressBar::transfer(const QString& name, qint64 done, qint64 total)
{
    if (!m_enabled)
        return;
    // Each file's first report, at 0 bytes, starts its clock: the rate is of this file alone.
    if (done == 0 || !m_since.isValid())
        m_since.start();
    const QString line = formatTransfer(name, done, total, m_since.nsecsElapsed());
    std::fprintf(stderr, "\r%s\033[K", qUtf8Printable(line));
    std::fflush(stderr);
    m_shown = true;
}

void ProgressBar::hide()
{
    if (!m_shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

void installDiagnosticTrace(bool verbose)
{
    g_verbose = verbose;
    qInstallMessageHandler(traceHandler);
}

} // namespace cli
