#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <optional>

#include "logger.h"
#include "terminal_output.h"

class QJsonObject;

// What the station shows: a table of its units redrawn in place on a terminal, one line per event
// prefixed with the unit's port when standard output is no terminal, JSON lines with --json.
namespace cli {

// One unit's place as the station shows it.
struct UnitView
{
    enum class State { Waiting, Running, Passed, Failed, Stopped };
    QString port;
    State state = State::Waiting;
    std::optional<quint64> deviceId; // the ID its run wrote into it
    QString step;                    // the run's latest line
    QString error;                   // a failed run's red line
    // The file moving now, while its bar is the latest news of the run.
    bool transferring = false;
    QString fileName;
    qint64 done = 0;
    qint64 total = 0;
    qint64 fileNs = 0; // since the file began
    qint64 elapsedMs = 0;
};

// The station's figures so far.
struct StationFigures
{
    int passed = 0;
    int failed = 0;
    int firstRuns = 0; // runs that were their unit's first at this station
    int firstPassed = 0;
    int running = 0;
    qint64 elapsedMs = 0;
};

// "3 passed, 1 failed, first-pass yield 75.0 %, 412.0 units/h"; the yield is "-" before any
// unit's first run has finished, the units per hour count every unit finished.
QString formatFigures(const StationFigures& figures);

// Every write of the station to standard output; open() turns false once one failed (the reader
// went away).
class StationOutput
{
public:
    enum class Mode { Table, Lines, Json };
    // The table on a terminal, lines elsewhere, JSON when asked; colour as LineStyle says.
    StationOutput(bool json, LineStyle style);

    Mode mode() const { return m_mode; }
    bool open() const { return m_open; }

    void started(const QString& port, const QString& run);
    void line(const QString& port, const QString& text, LogColour colour, bool label);
    void progress(const QString& port, const QString& file, qint64 done, qint64 total);
    void finished(const UnitView& unit, const QString& run);
    // The summary line and one line per unit below what was printed so far (the table only).
    void draw(const QList<UnitView>& units, const StationFigures& figures);
    // Takes the table off the terminal, so that another stream can write there.
    void hideTable();
    // The last line, or the summary event.
    void summary(const StationFigures& figures, Verdict verdict);

private:
    void write(const QString& text);
    void event(QJsonObject object);

    Mode m_mode;
    LineStyle m_style;
    bool m_open = true;
    int m_drawn = 0; // lines of the table on the terminal now
    QHash<QString, qint64> m_lastProgressMs;
};

} // namespace cli
