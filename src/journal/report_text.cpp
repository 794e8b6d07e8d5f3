// The report as text for people, as JSON and as CSV rows.
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

#include "logger.h"
#include "run_report.h"

namespace {

// "1 run", "2 runs".
QString count(int n, const char* noun)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(noun) +
           (n == 1 ? QString() : QStringLiteral("s"));
}

// Nearest rank: the smallest duration that q of the runs do not exceed.
qint64 percentile(const QVector<qint64>& sorted, double q)
{
    return sorted.at(qMax(0, int(std::ceil(q * sorted.size())) - 1));
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

QString percent(int part, int whole)
{
    return whole ? QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %")
                 : QStringLiteral("n/a");
}

double unitsPerHour(const ReportFigures& f)
{
    return f.activeMs > 0 ? f.units * 3600000.0 / double(f.activeMs) : 0;
}

QString rate(const ReportFigures& f)
{
    return f.activeMs > 0 ? QString::number(unitsPerHour(f), 'f', 1) + QStringLiteral(" units/h")
                          : QStringLiteral("n/a units/h");
}

QString results(const ReportFigures& f)
{
    return QStringLiteral("%1, %2 passed, %3 failed, %4 stopped")
        .arg(count(f.runs, "run"))
        .arg(f.passed)
        .arg(f.failed)
        .arg(f.stopped);
}

// One day's or one station's line.
QString summary(const QString& label, const ReportFigures& f)
{
    QString line =
        QStringLiteral("    ") + escapeControls(label) + QStringLiteral(": ") + results(f);
    if (f.units)
        line += QStringLiteral("; %1, first-pass yield %2, final yield %3, retest rate %4, %5")
                    .arg(count(f.units, "unit"), percent(f.firstPassUnits, f.firstRunUnits),
                         percent(f.finalPassUnits, f.units), percent(f.unitRuns - f.units, f.units),
                         rate(f));
    return line + QLatin1Char('\n');
}

QString durations(const char* which, const QVector<qint64>& sorted)
{
    if (sorted.isEmpty())
        return QString();
    return QStringLiteral("  %1 runs: median %2, 95th percentile %3\n")
        .arg(QLatin1String(which), seconds(percentile(sorted, 0.5)),
             seconds(percentile(sorted, 0.95)));
}

QString pareto(const char* title, const ReportFigures::Counts& counts, int whole)
{
    if (counts.isEmpty())
        return QString();
    QString out = QStringLiteral("  failures by %1:\n").arg(QLatin1String(title));
    for (const auto& c : counts)
        out += QStringLiteral("    %1 x %2 (%3)\n")
                   .arg(c.second)
                   .arg(escapeControls(c.first), percent(c.second, whole));
    return out;
}

QString kindText(const ReportKind& k)
{
    const ReportFigures& f = k.total;
    QString out = k.kind + QStringLiteral(": ") + results(f);
    if (f.units) {
        out += QStringLiteral("; %1\n").arg(count(f.units, "unit"));
        out += QStringLiteral("  first-pass yield %1 (%2 of %3), final yield %4 (%5 of %6), "
                              "retest rate %7\n")
                   .arg(percent(f.firstPassUnits, f.firstRunUnits))
                   .arg(f.firstPassUnits)
                   .arg(count(f.firstRunUnits, "unit"), percent(f.finalPassUnits, f.units))
                   .arg(f.finalPassUnits)
                   .arg(count(f.units, "unit"), percent(f.unitRuns - f.units, f.units));
        out += QStringLiteral("  %1 over %2 h of activity\n")
                   .arg(rate(f), QString::number(double(f.activeMs) / 3600000.0, 'f', 2));
    } else {
        out += QLatin1Char('\n');
    }
    out += durations("passed", f.passedMs) + durations("failed", f.failedMs);
    out += pareto("step", f.failuresByStep, f.failed) +
           pareto("red line", f.failuresByError, f.failed);
    if (!f.stoppedByCause.isEmpty()) {
        QStringList causes;
        for (const auto& c : f.stoppedByCause)
            causes << QStringLiteral("%1 x %2").arg(c.second).arg(escapeControls(c.first));
        out += QStringLiteral("  stopped runs: ") + causes.join(QStringLiteral(", ")) + '\n';
    }
    out += QStringLiteral("  per day:\n");
    for (const auto& day : k.days)
        out += summary(day.first, day.second);
    out += QStringLiteral("  per station:\n");
    for (const auto& station : k.stations)
        out += summary(station.first, station.second);
    return out;
}

// "100-199, 205": runs of consecutive IDs as ranges.
QString ranges(const QVector<quint64>& ids)
{
    QStringList parts;
    for (int i = 0; i < ids.size();) {
        int j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1)
            ++j;
        parts << (j == i ? QString::number(ids[i])
                         : QString::number(ids[i]) + QLatin1Char('-') + QString::number(ids[j]));
        i = j + 1;
    }
    return parts.join(QStringLiteral(", "));
}

QString periodText(const RunReport& r)
{
    if (r.firstDay.isNull() && r.scope.since.isNull() && r.scope.until.isNull())
        return QStringLiteral("all runs");
    const QDate from = r.scope.since.isNull() ? r.firstDay : r.scope.since;
    const QDate to = r.scope.until.isNull() ? r.lastDay : r.scope.until;
    return (from.isNull() ? QStringLiteral("the first run") : from.toString(Qt::ISODate)) +
           QStringLiteral(" to ") +
           (to.isNull() ? QStringLiteral("the last run") : to.toString(Qt::ISODate)) +
           QStringLiteral(" (UTC)");
}

QJsonValue ratio(int part, int whole)
{
    return whole ? QJsonValue(double(part) / whole) : QJsonValue();
}

QJsonValue ms(const QVector<qint64>& sorted, double q)
{
    return sorted.isEmpty() ? QJsonValue() : QJsonValue(double(percentile(sorted, q)));
}

QJsonArray countsJson(const ReportFigures::Counts& counts, const char* key, int whole)
{
    QJsonArray array;
    for (const auto& c : counts) {
        QJsonObject o{{QLatin1String(key), c.first}, {"count", c.second}};
        if (whole)
            o.insert("share", double(c.second) / whole);
        array.append(o);
    }
    return array;
}

QJsonObject figuresJson(const ReportFigures& f)
{
    return QJsonObject{
        {"runs", f.runs},
        {"passed", f.passed},
        {"failed", f.failed},
        {"stopped", f.stopped},
        {"unit_runs", f.unitRuns},
        {"units", f.units},
        {"first_run_units", f.firstRunUnits},
        {"first_pass_units", f.firstPassUnits},
        {"first_pass_yield", ratio(f.firstPassUnits, f.firstRunUnits)},
        {"final_pass_units", f.finalPassUnits},
        {"final_yield", ratio(f.finalPassUnits, f.units)},
        {"retest_rate", ratio(f.unitRuns - f.units, f.units)},
        {"active_ms", double(f.activeMs)},
        {"units_per_hour", f.units && f.activeMs > 0 ? QJsonValue(unitsPerHour(f)) : QJsonValue()},
        {"passed_median_ms", ms(f.passedMs, 0.5)},
        {"passed_p95_ms", ms(f.passedMs, 0.95)},
        {"failed_median_ms", ms(f.failedMs, 0.5)},
        {"failed_p95_ms", ms(f.failedMs, 0.95)},
        {"failures_by_step", countsJson(f.failuresByStep, "step", f.failed)},
        {"failures_by_error", countsJson(f.failuresByError, "error", f.failed)},
        {"stopped_by_cause", countsJson(f.stoppedByCause, "cause", 0)}};
}

// The spread of the durations in about 20 bins 1, 2 or 5 times a power of ten milliseconds wide.
QJsonValue histogram(const QVector<qint64>& sorted)
{
    if (sorted.isEmpty())
        return QJsonValue();
    const double raw = double(qMax<qint64>(sorted.last() - sorted.first(), 1)) / 20.0;
    qint64 width = 1;
    for (qint64 decade = 1; width < raw; decade *= 10) {
        for (int step : {1, 2, 5}) {
            width = step * decade;
            if (width >= raw)
                break;
        }
    }
    const qint64 from = sorted.first() / width * width;
    QVector<int> bins(int((sorted.last() - from) / width) + 1);
    for (qint64 d : sorted)
        ++bins[int((d - from) / width)];
    QJsonArray counts;
    for (int n : bins)
        counts.append(n);
    return QJsonObject{{"from_ms", double(from)}, {"bin_ms", double(width)}, {"counts", counts}};
}

QJsonArray groupsJson(const QList<QPair<QString, ReportFigures>>& groups, const char* key)
{
    QJsonArray array;
    for (const auto& g : groups) {
        QJsonObject o = figuresJson(g.second);
        o.insert(QLatin1String(key), g.first);
        array.append(o);
    }
    return array;
}

QJsonArray idTexts(const QVector<quint64>& ids)
{
    QJsonArray array;
    for (quint64 id : ids)
        array.append(QString::number(id));
    return array;
}

QJsonValue dateOrNull(const QDate& date)
{
    return date.isNull() ? QJsonValue() : QJsonValue(date.toString(Qt::ISODate));
}

// RFC 4180: a field with a comma, a quote or a line break goes in quotes, its quotes doubled.
QByteArray csvField(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r'))
        bytes = '"' + bytes.replace("\"", "\"\"") + '"';
    return bytes;
}

} // namespace

QString runReportText(const RunReport& report)
{
    QString out =
        QStringLiteral("Run journal: ") + escapeControls(report.journal) + QLatin1Char('\n');
    out += QStringLiteral("Period: ") + periodText(report) + QLatin1Char('\n');
    if (!report.scope.station.isEmpty())
        out += QStringLiteral("Station: ") + escapeControls(report.scope.station) + '\n';
    if (report.kinds.isEmpty())
        out += QStringLiteral("No runs\n");
    for (const ReportKind& k : report.kinds)
        out += kindText(k);
    out += QStringLiteral("Device IDs produced: %1").arg(report.producedIds.size());
    out += report.producedIds.isEmpty() ? QStringLiteral("\n")
                                        : QStringLiteral(" (") + ranges(report.producedIds) + ")\n";
    if (!report.repeatedIds.isEmpty())
        out += QStringLiteral("Produced more than once: ") + ranges(report.repeatedIds) + '\n';
    if (!report.reidentified.isEmpty()) {
        QStringList pairs;
        for (const auto& p : report.reidentified)
            pairs << QStringLiteral("%1 was %2").arg(p.second).arg(p.first);
        out += QStringLiteral("Units re-identified: %1 (%2)\n")
                   .arg(report.reidentified.size())
                   .arg(pairs.join(QStringLiteral(", ")));
    }
    if (report.skipped)
        out += QStringLiteral("Malformed lines skipped: %1\n").arg(report.skipped);
    return out;
}

QByteArray runReportJson(const RunReport& report)
{
    QJsonObject kinds;
    for (const ReportKind& k : report.kinds) {
        QJsonObject o = figuresJson(k.total);
        o.insert("days", groupsJson(k.days, "day"));
        o.insert("stations", groupsJson(k.stations, "station"));
        o.insert("passed_duration_histogram", histogram(k.total.passedMs));
        kinds.insert(k.kind, o);
    }
    QJsonArray reidentified;
    for (const auto& p : report.reidentified)
        reidentified.append(QJsonObject{{"previous_device_id", QString::number(p.first)},
                                        {"device_id", QString::number(p.second)}});
    const ReportScope& s = report.scope;
    const QJsonObject o{{"journal", report.journal},
                        {"since", dateOrNull(s.since)},
                        {"until", dateOrNull(s.until)},
                        {"station", s.station.isEmpty() ? QJsonValue() : QJsonValue(s.station)},
                        {"period", periodText(report)},
                        {"first_day", dateOrNull(report.firstDay)},
                        {"last_day", dateOrNull(report.lastDay)},
                        {"kinds", kinds},
                        {"device_ids", idTexts(report.producedIds)},
                        {"repeated_device_ids", idTexts(report.repeatedIds)},
                        {"reidentified", reidentified},
                        {"skipped_lines", report.skipped}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray runReportCsv(const QVector<ReportRun>& runs, const ReportScope& scope)
{
    QByteArray out = "run,start_utc,station,kind,result,device_id,device_id_written,"
                     "previous_device_id,step,error,stop_cause,duration_s\r\n";
    const char* results[] = {"passed", "failed", "stopped"};
    QVector<const ReportRun*> rows;
    for (const ReportRun& r : runs) {
        if (scope.covers(r))
            rows.append(&r);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ReportRun* a, const ReportRun* b) {
        return a->startMs < b->startMs;
    });
    for (const ReportRun* run : qAsConst(rows)) {
        const ReportRun& r = *run;
        const bool failed = r.result == ReportRun::Result::Failed;
        const bool stopped = r.result == ReportRun::Result::Stopped;
        const QStringList fields = {
            r.id,
            QDateTime::fromMSecsSinceEpoch(r.startMs, Qt::UTC)
                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
            r.station,
            r.kind,
            QLatin1String(results[int(r.result)]),
            r.hasDeviceId ? QString::number(r.deviceId) : QString(),
            r.deviceIdWritten ? QStringLiteral("true") : QStringLiteral("false"),
            r.hasPreviousId ? QString::number(r.previousDeviceId) : QString(),
            failed ? (r.step.isEmpty() ? QStringLiteral("unknown step") : r.step) : QString(),
            failed ? escapeControls(r.error) : QString(),
            stopped ? (r.stopCause.isEmpty() ? QStringLiteral("unknown cause") : r.stopCause)
                    : QString(),
            QString::number(double(r.durationMs) / 1000.0, 'f', 3)};
        QByteArrayList row;
        for (const QString& field : fields)
            row << csvField(field);
        out += row.join(',') + "\r\n";
    }
    return out;
}
