#include "run_report.h"

#include <QHash>
#include <QMap>
#include <algorithm>

#include "logger.h"
#include "whole_file.h"

namespace {

const char* const kKinds[] = {"production", "test", "retest", "fetch"};
constexpr qint64 kDayMs = 24 * 3600 * 1000;
// A station idle for longer than this has ended a shift: the gap is no producing time.
constexpr qint64 kShiftGapMs = 30 * 60 * 1000;

qint64 dayNumber(qint64 ms)
{
    return ms >= 0 ? ms / kDayMs : (ms + 1) / kDayMs - 1;
}

QDate dayOf(qint64 ms)
{
    return QDate::fromJulianDay(dayNumber(ms) + 2440588);
}

// The units of one kind's runs (in start order): a unit is the Device ID a run was to write,
// which the station keeps until the unit passes; a re-identified unit keeps its earlier ID's unit.
struct Units
{
    QVector<int> unitOf;   // per run; -1: the run wrote no ID
    QVector<int> firstRun; // per unit; -1: the unit ran before the journal began
};

Units unitsOf(const QVector<const ReportRun*>& runs)
{
    Units u;
    QHash<quint64, int> byId;
    const auto unitFor = [&](quint64 id, int first) {
        const auto it = byId.constFind(id);
        if (it != byId.cend())
            return it.value();
        u.firstRun.append(first);
        return *byId.insert(id, u.firstRun.size() - 1);
    };
    for (int i = 0; i < runs.size(); ++i) {
        const ReportRun& r = *runs[i];
        int unit = -1;
        if (r.hasDeviceId && r.hasPreviousId) {
            unit = unitFor(r.previousDeviceId, -1);
            byId.insert(r.deviceId, unit);
        } else if (r.hasDeviceId) {
            unit = unitFor(r.deviceId, i);
        }
        u.unitOf.append(unit);
    }
    return u;
}

// Most frequent first; equal counts by name.
ReportFigures::Counts byCount(const QHash<QString, int>& counts)
{
    ReportFigures::Counts list;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        list.append({it.key(), it.value()});
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second)
            return a.second > b.second;
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    return list;
}

// The causes in their own order, whatever their counts.
ReportFigures::Counts byCause(const QHash<QString, int>& counts)
{
    static const QStringList order = {"stop", "time limit", "window closed"};
    ReportFigures::Counts list = byCount(counts);
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return uint(order.indexOf(a.first)) < uint(order.indexOf(b.first));
    });
    return list;
}

ReportFigures figuresOf(const QVector<const ReportRun*>& runs, const Units& units,
                        const QVector<int>& members)
{
    ReportFigures f;
    QHash<int, int> lastRun; // unit -> its last run in the group
    QHash<QString, int> steps;
    QHash<QString, int> errors;
    QHash<QString, int> causes;
    struct Shift
    {
        qint64 from;
        qint64 to;
    };
    QHash<QString, Shift> shifts; // per station, the one going on
    for (int i : members) {
        const ReportRun& r = *runs[i];
        ++f.runs;
        if (r.result == ReportRun::Result::Passed) {
            ++f.passed;
            f.passedMs.append(r.durationMs);
        } else if (r.result == ReportRun::Result::Failed) {
            ++f.failed;
            f.failedMs.append(r.durationMs);
            ++steps[r.step.isEmpty() ? QStringLiteral("unknown step") : r.step];
            ++errors[r.error];
        } else {
            ++f.stopped;
            ++causes[r.stopCause.isEmpty() ? QStringLiteral("unknown cause") : r.stopCause];
        }
        const int unit = units.unitOf[i];
        if (unit >= 0) {
            ++f.unitRuns;
            if (!lastRun.contains(unit) && units.firstRun[unit] == i) {
                ++f.firstRunUnits;
                f.firstPassUnits += r.result == ReportRun::Result::Passed;
            }
            lastRun.insert(unit, i);
        }
        const qint64 end = r.startMs + r.durationMs;
        auto shift = shifts.find(r.station);
        if (shift == shifts.end()) {
            shifts.insert(r.station, {r.startMs, end});
        } else if (r.startMs - shift->to > kShiftGapMs) {
            f.activeMs += shift->to - shift->from;
            *shift = {r.startMs, end};
        } else {
            shift->to = qMax(shift->to, end);
        }
    }
    for (const Shift& s : qAsConst(shifts))
        f.activeMs += s.to - s.from;
    f.units = lastRun.size();
    for (int last : qAsConst(lastRun))
        f.finalPassUnits += runs[last]->result == ReportRun::Result::Passed;
    std::sort(f.passedMs.begin(), f.passedMs.end());
    std::sort(f.failedMs.begin(), f.failedMs.end());
    f.failuresByStep = byCount(steps);
    f.failuresByError = byCount(errors);
    f.stoppedByCause = byCause(causes);
    return f;
}

ReportKind kindReport(const QString& kind, const QVector<const ReportRun*>& runs,
                      const ReportScope& scope)
{
    const Units units = unitsOf(runs);
    QVector<int> all;
    QMap<qint64, QVector<int>> days;
    QMap<QString, QVector<int>> stations;
    for (int i = 0; i < runs.size(); ++i) {
        if (!scope.covers(*runs[i]))
            continue;
        all.append(i);
        days[dayNumber(runs[i]->startMs)].append(i);
        stations[runs[i]->station].append(i);
    }
    ReportKind k{kind, figuresOf(runs, units, all), {}, {}};
    for (auto it = days.cbegin(); it != days.cend(); ++it)
        k.days.append(
            {dayOf(it.key() * kDayMs).toString(Qt::ISODate), figuresOf(runs, units, it.value())});
    for (auto it = stations.cbegin(); it != stations.cend(); ++it)
        k.stations.append({it.key(), figuresOf(runs, units, it.value())});
    return k;
}

bool writeFile(const QString& path, const QByteArray& bytes, QString& error)
{
    // Written whole or not at all: an earlier report stays as it was when this one fails.
    if (writeOutput(path, bytes))
        return true;
    error = QStringLiteral("the file '%1' cannot be written").arg(escapeControls(path));
    return false;
}

} // namespace

bool ReportScope::covers(const ReportRun& run) const
{
    const QDate day = dayOf(run.startMs);
    return (since.isNull() || day >= since) && (until.isNull() || day <= until) &&
           (station.isEmpty() || run.station == station);
}

RunReport computeRunReport(QVector<ReportRun> runs, const ReportScope& scope)
{
    RunReport report;
    report.scope = scope;
    std::stable_sort(runs.begin(), runs.end(),
                     [](const ReportRun& a, const ReportRun& b) { return a.startMs < b.startMs; });
    for (const char* kind : kKinds) {
        QVector<const ReportRun*> ofKind;
        bool inside = false;
        for (const ReportRun& r : qAsConst(runs)) {
            if (r.kind == QLatin1String(kind)) {
                ofKind.append(&r);
                inside = inside || scope.covers(r);
            }
        }
        if (inside)
            report.kinds.append(kindReport(QLatin1String(kind), ofKind, scope));
    }
    QVector<quint64> produced;
    for (const ReportRun& r : qAsConst(runs)) {
        if (!scope.covers(r))
            continue;
        if (report.firstDay.isNull())
            report.firstDay = dayOf(r.startMs);
        report.lastDay = dayOf(r.startMs);
        if (r.kind == QLatin1String("production") && r.result == ReportRun::Result::Passed &&
            r.hasDeviceId && r.deviceIdWritten)
            produced.append(r.deviceId);
        if (r.hasDeviceId && r.hasPreviousId)
            report.reidentified.append({r.previousDeviceId, r.deviceId});
    }
    std::sort(produced.begin(), produced.end());
    for (int i = 0; i < produced.size(); ++i) {
        if (i > 0 && produced[i] == produced[i - 1]) {
            if (report.repeatedIds.isEmpty() || report.repeatedIds.last() != produced[i])
                report.repeatedIds.append(produced[i]);
        } else {
            report.producedIds.append(produced[i]);
        }
    }
    return report;
}

bool takeReportOption(ReportOptions& o, const QString& name, const QString& value, QString& error)
{
    const bool since = name == QLatin1String("--since");
    if (since || name == QLatin1String("--until")) {
        const QDate date = QDate::fromString(value, Qt::ISODate);
        if (value.size() != 10 || !date.isValid()) {
            error = QStringLiteral("%1 needs a date YYYY-MM-DD, not '%2'").arg(name, value);
            return false;
        }
        (since ? o.scope.since : o.scope.until) = date;
        if (!o.scope.since.isNull() && !o.scope.until.isNull() && o.scope.until < o.scope.since) {
            error =
                QStringLiteral("--until %1 is before --since %2")
                    .arg(o.scope.until.toString(Qt::ISODate), o.scope.since.toString(Qt::ISODate));
            return false;
        }
        return true;
    }
    QString* text = name == QLatin1String("--station") ? &o.scope.station
                    : name == QLatin1String("--csv")   ? &o.csvFile
                    : name == QLatin1String("--html")  ? &o.htmlFile
                                                       : nullptr;
    if (!text) {
        error = QStringLiteral("unknown option '%1' for report").arg(name);
        return false;
    }
    if (value.isEmpty()) {
        error = QStringLiteral("%1 needs a value").arg(name);
        return false;
    }
    *text = value;
    return true;
}

bool makeRunReport(const QString& journalPath, const ReportOptions& options, QByteArray& out,
                   QString& error)
{
    QVector<ReportRun> runs;
    int skipped = 0;
    if (!readJournalRuns(journalPath, runs, skipped)) {
        error =
            QStringLiteral("the run journal '%1' cannot be read").arg(escapeControls(journalPath));
        return false;
    }
    return makeRunReport(std::move(runs), skipped, journalPath, options, out, error);
}

bool makeRunReport(QVector<ReportRun> runs, int skipped, const QString& source,
                   const ReportOptions& options, QByteArray& out, QString& error)
{
    if (!options.csvFile.isEmpty() &&
        !writeFile(options.csvFile, runReportCsv(runs, options.scope), error))
        return false;
    RunReport report = computeRunReport(std::move(runs), options.scope);
    report.journal = source;
    report.skipped = skipped;
    if (!options.htmlFile.isEmpty() && !writeFile(options.htmlFile, runReportHtml(report), error))
        return false;
    out = options.json ? runReportJson(report) : runReportText(report).toUtf8();
    return true;
}
