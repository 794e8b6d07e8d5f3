#include "station_output.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cstdio>

namespace cli {

namespace {

const char kReset[] = "\033[0m";
// JSON progress events come at most this often per unit, and at each file's start and end.
constexpr qint64 kProgressEventMs = 250;

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 1) + QStringLiteral(" s");
}

const char* resultWord(UnitView::State state)
{
    switch (state) {
    case UnitView::State::Passed:
        return "pass";
    case UnitView::State::Failed:
        return "fail";
    case UnitView::State::Waiting:
    case UnitView::State::Running:
    case UnitView::State::Stopped:
        break;
    }
    return "stopped";
}

Verdict verdictOf(UnitView::State state)
{
    return state == UnitView::State::Passed   ? Verdict::Pass
           : state == UnitView::State::Failed ? Verdict::Fail
                                              : Verdict::Stopped;
}

QJsonValue idValue(const std::optional<quint64>& id)
{
    // As the journal has it: all 64 bits survive readers that hold numbers as doubles.
    return id ? QJsonValue(QString::number(*id)) : QJsonValue();
}

// The table names a hub port's by-path link by its own name, which is what tells it apart.
QString shownPort(const QString& port)
{
    const QString byPath = QStringLiteral("/dev/serial/by-path/");
    return escapeControls(port.startsWith(byPath) ? port.mid(byPath.size()) : port);
}

QString idText(const UnitView& unit)
{
    return QStringLiteral("Device ID ") +
           (unit.deviceId ? QString::number(*unit.deviceId) : QStringLiteral("-"));
}

// A unit's line of the table: port, Device ID, elapsed time, then what it does or how it ended.
QString unitLine(const UnitView& unit, int portWidth, int idWidth)
{
    QString line = shownPort(unit.port).leftJustified(portWidth) + QStringLiteral("  ");
    if (unit.state == UnitView::State::Waiting)
        return line + QStringLiteral("waiting for a free slot");
    line += idText(unit).leftJustified(idWidth) + seconds(unit.elapsedMs).rightJustified(8) +
            QStringLiteral("  ");
    switch (unit.state) {
    case UnitView::State::Running:
        if (unit.transferring)
            return line + formatTransfer(unit.fileName, unit.done, unit.total, unit.fileNs);
        return line +
               (unit.step.isEmpty() ? QStringLiteral("starting") : escapeControls(unit.step));
    case UnitView::State::Passed:
        return line + QStringLiteral("PASS");
    case UnitView::State::Failed:
        return line + QStringLiteral("FAIL ") + escapeControls(unit.error);
    case UnitView::State::Waiting:
    case UnitView::State::Stopped:
        break;
    }
    return line + QStringLiteral("STOPPED");
}

} // namespace

QString formatFigures(const StationFigures& f)
{
    const QString yield =
        f.firstRuns > 0
            ? QString::number(100.0 * f.firstPassed / f.firstRuns, 'f', 1) + QStringLiteral(" %")
            : QStringLiteral("-");
    const double hours = double(f.elapsedMs) / 3600000;
    const double perHour = hours > 0 ? (f.passed + f.failed) / hours : 0;
    return QStringLiteral("%1 passed, %2 failed, first-pass yield %3, %4 units/h")
        .arg(f.passed)
        .arg(f.failed)
        .arg(yield, QString::number(perHour, 'f', 1));
}

StationOutput::StationOutput(bool json, LineStyle style)
    : m_mode(json                 ? Mode::Json
             : isTerminal(stdout) ? Mode::Table
                                  : Mode::Lines),
      m_style(style)
{}

void StationOutput::write(const QString& text)
{
    if (!m_open)
        return;
    const QByteArray bytes = text.toUtf8();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()) ||
        std::fflush(stdout) != 0)
        m_open = false;
}

void StationOutput::event(QJsonObject object)
{
    object.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    write(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
          QLatin1Char('\n'));
}

void StationOutput::started(const QString& port, const QString& run)
{
    if (m_mode == Mode::Json)
        event({{"event", "started"}, {"port", port}, {"run", run}});
}

void StationOutput::line(const QString& port, const QString& text, LogColour colour, bool label)
{
    if (m_mode == Mode::Lines)
        write(escapeControls(port) + QLatin1Char(' ') +
              formatLogLine(text, colour, LineStyle::Prefix) + QLatin1Char('\n'));
    else if (m_mode == Mode::Json && label)
        event({{"event", "step"}, {"port", port}, {"step", text}});
}

void StationOutput::progress(const QString& port, const QString& file, qint64 done, qint64 total)
{
    if (m_mode != Mode::Json)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto last = m_lastProgressMs.constFind(port);
    if (done != 0 && done != total && last != m_lastProgressMs.cend() &&
        now - *last < kProgressEventMs)
        return;
    m_lastProgressMs.insert(port, now);
    event({{"event", "progress"},
           {"port", port},
           {"file", file},
           {"done", double(done)},
           {"total", double(total)}});
}

void StationOutput::finished(const UnitView& unit, const QString& run)
{
    if (m_mode == Mode::Json) {
        event({{"event", "finished"},
               {"port", unit.port},
               {"run", run},
               {"result", resultWord(unit.state)},
               {"device_id", idValue(unit.deviceId)},
               {"error", unit.error.isEmpty() ? QJsonValue() : QJsonValue(unit.error)},
               {"elapsed_ms", double(unit.elapsedMs)}});
        return;
    }
    // Above the table, where the verdicts stay as the table changes.
    hideTable();
    write(escapeControls(unit.port) + QLatin1Char(' ') +
          formatVerdict(verdictOf(unit.state), QStringLiteral("production"), unit.deviceId,
                        unit.elapsedMs, m_mode == Mode::Table ? m_style : LineStyle::Prefix) +
          QLatin1Char('\n'));
    if (m_mode == Mode::Table && unit.state == UnitView::State::Failed)
        write(escapeControls(unit.port) + QLatin1Char(' ') +
              formatLogLine(unit.error, LogColour::Red, m_style) + QLatin1Char('\n'));
}

void StationOutput::hideTable()
{
    if (m_mode != Mode::Table || m_drawn == 0)
        return;
    write(QStringLiteral("\033[%1A\r\033[J").arg(m_drawn));
    m_drawn = 0;
}

void StationOutput::draw(const QList<UnitView>& units, const StationFigures& figures)
{
    if (m_mode != Mode::Table)
        return;
    QStringList lines{formatFigures(figures) +
                      QStringLiteral(", %1 running, ").arg(figures.running) +
                      seconds(figures.elapsedMs)};
    int portWidth = 0;
    int idWidth = 16; // "Device ID 100000" keeps its place while IDs come
    for (const UnitView& unit : units) {
        portWidth = qMax(portWidth, shownPort(unit.port).size());
        idWidth = qMax(idWidth, idText(unit).size());
    }
    for (const UnitView& unit : units)
        lines << unitLine(unit, portWidth, idWidth);
    // A line wider than the terminal would wrap, and the redraw would miss its second half.
    const int columns = terminalColumns(stdout);
    QString text = m_drawn > 0 ? QStringLiteral("\033[%1A\r\033[J").arg(m_drawn) : QString();
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (columns > 1 && line.size() >= columns)
            line.truncate(columns - 1);
        const UnitView::State state = i > 0 ? units.at(i - 1).state : UnitView::State::Running;
        const bool finished = state == UnitView::State::Passed ||
                              state == UnitView::State::Failed || state == UnitView::State::Stopped;
        if (m_style == LineStyle::Colour && finished)
            line = QLatin1String(state == UnitView::State::Passed   ? "\033[32m"
                                 : state == UnitView::State::Failed ? "\033[31m"
                                                                    : "\033[33m") +
                   line + QLatin1String(kReset);
        text += line + QLatin1Char('\n');
    }
    write(text);
    m_drawn = lines.size();
}

void StationOutput::summary(const StationFigures& figures, Verdict verdict)
{
    if (m_mode == Mode::Json) {
        static const char* const kResults[] = {"pass", "fail", "stopped"};
        const double hours = double(figures.elapsedMs) / 3600000;
        event({{"event", "summary"},
               {"result", kResults[int(verdict)]},
               {"passed", figures.passed},
               {"failed", figures.failed},
               {"first_pass_yield",
                figures.firstRuns > 0 ? QJsonValue(double(figures.firstPassed) / figures.firstRuns)
                                      : QJsonValue()},
               {"units_per_hour", hours > 0 ? (figures.passed + figures.failed) / hours : 0.0},
               {"elapsed_ms", double(figures.elapsedMs)}});
        return;
    }
    hideTable();
    write(formatVerdict(verdict, QStringLiteral("station: ") + formatFigures(figures), std::nullopt,
                        figures.elapsedMs, m_mode == Mode::Table ? m_style : LineStyle::Prefix) +
          QLatin1Char('\n'));
}

} // namespace cli
