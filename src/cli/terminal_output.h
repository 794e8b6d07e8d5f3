#pragma once
#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <optional>

#include "logger.h"

// What veltora-cli shows: log lines and the verdict on standard output, the progress bar and the
// diagnostic trace on standard error.
namespace cli {

// Colour on a terminal that does not refuse it; a prefix on every line otherwise, so the meaning
// of a line survives without colour.
enum class LineStyle { Colour, Prefix };
// noColor: the value of NO_COLOR; set and not empty, it turns colour off (no-color.org).
LineStyle lineStyle(bool terminal, const QByteArray& noColor);
// The style for standard output as this process has it.
LineStyle stdoutStyle();
bool isTerminal(FILE* stream);
// The terminal's width in columns; 0 when it cannot be had.
int terminalColumns(FILE* stream);

// A log line by its colour; the message is escaped.
QString formatLogLine(const QString& text, LogColour colour, LineStyle style);

enum class Verdict { Pass, Fail, Stopped };
// The run's last line: "PASS production, Device ID 5001, 41.2 s"; the ID only when the run was
// to write one.
QString formatVerdict(Verdict verdict, const QString& kind, std::optional<quint64> deviceId,
                      qint64 elapsedMs, LineStyle style);

// The bar of one file transfer: name, bar, bytes done of the total and, once known, the rate.
QString formatTransfer(const QString& name, qint64 done, qint64 total, qint64 elapsedNs);

// The progress bar on standard error, drawn in place while a file moves and cleared by the
// next log line, so steps that move no file show none.
class ProgressBar
{
public:
    explicit ProgressBar(bool enabled) : m_enabled(enabled) {}
    void transfer(const QString& name, qint64 done, qint64 total);
    void hide();

private:
    bool m_enabled;
    bool m_shown = false;
    QElapsedTimer m_since;
};

// The diagnostic trace on standard error: warnings always, debug lines with -v only.
void installDiagnosticTrace(bool verbose);

} // namespace cli
