#pragma once
#include <QByteArray>
#include <QDate>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

// The figures a line manager reads from the runs of a station (its journal) or of a line (its
// database): yields, units per hour, durations, failures by step and by red line, per kind of
// run, per day and per station, as text, JSON, CSV and a page with plots.

// One run as the report reads it.
struct ReportRun
{
    enum class Result : quint8 { Passed, Failed, Stopped };
    QString id;
    QString kind;       // production, test, retest or fetch
    QString station;    // the journal's station, or its host for lines written before it had one
    qint64 startMs = 0; // UTC, since 1970
    qint64 durationMs = 0;
    Result result = Result::Stopped;
    QString step;      // a failed run: the step that failed; empty when not recorded
    QString error;     // a failed run: its red line
    QString stopCause; // a stopped run: stop, time limit or window closed; empty when not recorded
    bool hasDeviceId = false; // the run was to write deviceId
    quint64 deviceId = 0;
    bool deviceIdWritten = false;
    bool hasPreviousId = false; // the unit held this produced ID when the run found it
    quint64 previousDeviceId = 0;
};

// The runs a report covers: started on a UTC date from since to until (a null date: no bound),
// at one station or at all (empty).
struct ReportScope
{
    QDate since;
    QDate until;
    QString station;

    bool covers(const ReportRun& run) const;
};

// The figures of one group of runs: a kind of run over the scope, one of its days or stations.
struct ReportFigures
{
    using Counts = QList<QPair<QString, int>>;
    int runs = 0;
    int passed = 0;
    int failed = 0;
    int stopped = 0;
    int unitRuns = 0;         // runs of a unit (the others wrote no Device ID)
    int units = 0;            // units with a run in the group
    int firstRunUnits = 0;    // units whose first run of all is in the group
    int firstPassUnits = 0;   // of those, units whose first run passed
    int finalPassUnits = 0;   // units whose last run in the group passed
    qint64 activeMs = 0;      // per station, first to last run of each shift, summed
    QVector<qint64> passedMs; // durations, sorted
    QVector<qint64> failedMs;
    Counts failuresByStep; // most frequent first
    Counts failuresByError;
    Counts stoppedByCause; // stop, time limit, window closed, then unknown cause
};

struct ReportKind
{
    QString kind;
    ReportFigures total;
    QList<QPair<QString, ReportFigures>> days; // by UTC date
    QList<QPair<QString, ReportFigures>> stations;
};

struct RunReport
{
    QString journal;
    ReportScope scope;
    QDate firstDay; // of the runs in the scope
    QDate lastDay;
    QList<ReportKind> kinds;      // production, test, retest, fetch; those with runs
    QVector<quint64> producedIds; // by successful production runs that wrote them, each once
    QVector<quint64> repeatedIds; // produced more than once
    QList<QPair<quint64, quint64>> reidentified; // (the unit's earlier ID, its new one)
    int skipped = 0;                             // malformed or torn journal lines
};

// Reads the journal line by line into runs in journal order; a malformed or torn line is skipped
// and counted. A missing journal has no runs; false when it cannot be read.
bool readJournalRuns(const QString& journalPath, QVector<ReportRun>& runs, int& skipped);

// One journal line as a report run; false when it is no whole journal entry.
bool readJournalLine(const QByteArray& line, ReportRun& run);

// The figures of the runs in the scope. Runs outside it still tell which units were seen before.
RunReport computeRunReport(QVector<ReportRun> runs, const ReportScope& scope);

QString runReportText(const RunReport& report);
QByteArray runReportJson(const RunReport& report);
// One row per run in the scope, for a spreadsheet: RFC 4180, a header row, CR LF line ends.
QByteArray runReportCsv(const QVector<ReportRun>& runs, const ReportScope& scope);
// One page that needs no network: the JSON report and the script that draws its tables and plots.
QByteArray runReportHtml(const RunReport& report);

// What `veltora-cli report` is asked for.
struct ReportOptions
{
    ReportScope scope;
    bool json = false;
    QString csvFile;  // empty: no CSV
    QString htmlFile; // empty: no page
};

// Takes one of the report's options with a value (--since, --until, --station, --csv, --html);
// false with the usage error to show when the option or its value is not one of them.
bool takeReportOption(ReportOptions& options, const QString& name, const QString& value,
                      QString& error);

// The report command: reads the journal, writes the CSV and the page asked for and gives the text
// or JSON report for standard output. False with the error to show when the journal cannot be
// read or a file cannot be written.
bool makeRunReport(const QString& journalPath, const ReportOptions& options, QByteArray& out,
                   QString& error);
// The same over runs read elsewhere (a line's database), in the order they started; source names
// where they came from.
bool makeRunReport(QVector<ReportRun> runs, int skipped, const QString& source,
                   const ReportOptions& options, QByteArray& out, QString& error);
