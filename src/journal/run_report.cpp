#include "run_report.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string_view>

#include "logger.h"

namespace {

const char* const kKinds[] = {"production", "test", "retest", "fetch"};

using Text = std::string_view;

// The journal fields the report reads from one line: JSON string contents as they stand in it.
struct Entry
{
    Text kind;
    Text start;
    Text result;
    Text error;
    Text deviceId;
    bool written = false;
    double durationMs = -1;
};

// A strict scanner of one JSON object per line. A reader that built a document per line would
// spend about twice the time (bench/journal_report), most of it on fields the report never reads
// (hashes, paths); this one only checks their syntax.
class LineScanner
{
public:
    LineScanner(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    bool object(Entry& e)
    {
        space();
        if (!take('{'))
            return false;
        space();
        if (take('}'))
            return atEnd();
        do {
            space();
            Text key;
            if (!string(&key))
                return false;
            space();
            if (!take(':'))
                return false;
            space();
            if (!field(key, e))
                return false;
            space();
        } while (take(','));
        return take('}') && atEnd();
    }

private:
    bool field(Text key, Entry& e)
    {
        if (key == "kind")
            return string(&e.kind);
        if (key == "start")
            return string(&e.start);
        if (key == "result")
            return string(&e.result);
        if (key == "error")
            return literal("null") || string(&e.error);
        if (key == "device_id")
            return literal("null") || string(&e.deviceId);
        if (key == "device_id_written") {
            e.written = literal("true");
            return e.written || literal("false");
        }
        if (key == "duration_ms")
            return number(&e.durationMs);
        return value(0);
    }

    bool value(int depth)
    {
        if (m_p == m_end || depth > 32)
            return false;
        const char c = *m_p;
        if (c == '"')
            return string(nullptr);
        if (c == '{' || c == '[')
            return container(c == '{' ? '}' : ']', c == '{', depth);
        return literal("true") || literal("false") || literal("null") || number(nullptr);
    }

    bool container(char close, bool keyed, int depth)
    {
        ++m_p;
        space();
        if (take(close))
            return true;
        do {
            space();
            if (keyed && !(string(nullptr) && (space(), take(':'))))
                return false;
            space();
            if (!value(depth + 1))
                return false;
            space();
        } while (take(','));
        return take(close);
    }

    // The raw contents between the quotes, escapes checked but kept.
    bool string(Text* out)
    {
        if (!take('"'))
            return false;
        const char* from = m_p;
        while (m_p != m_end && *m_p != '"') {
            if (uchar(*m_p) < 0x20)
                return false;
            if (*m_p == '\\' && ++m_p == m_end)
                return false;
            ++m_p;
        }
        if (m_p == m_end)
            return false;
        if (out)
            *out = Text(from, size_t(m_p - from));
        ++m_p;
        return true;
    }

    // Numbers the report does not read are only checked for their characters.
    bool number(double* out)
    {
        const char* from = m_p;
        while (m_p != m_end && *m_p && (std::isdigit(uchar(*m_p)) || strchr("+-.eE", *m_p)))
            ++m_p;
        if (!out)
            return m_p != from;
        bool ok = false;
        *out = QByteArray(from, int(m_p - from)).toDouble(&ok);
        return ok;
    }

    bool literal(const char* word)
    {
        const size_t n = strlen(word);
        if (size_t(m_end - m_p) < n || memcmp(m_p, word, n) != 0)
            return false;
        m_p += n;
        return true;
    }

    bool take(char c)
    {
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    void space()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n'))
            ++m_p;
    }
    bool atEnd()
    {
        space();
        return m_p == m_end;
    }

    const char* m_p;
    const char* m_end;
};

// A JSON string's contents as text; the document parser decodes the escapes.
QString decoded(Text raw)
{
    const QByteArray bytes(raw.data(), int(raw.size()));
    if (!bytes.contains('\\'))
        return QString::fromUtf8(bytes);
    return QJsonDocument::fromJson("[\"" + bytes + "\"]").array().at(0).toString();
}

bool known(Text kind)
{
    return std::any_of(std::begin(kKinds), std::end(kKinds),
                       [&](const char* k) { return kind == k; });
}

void add(RunReport& report, const Entry& e)
{
    RunReport::Kind& kind = report.kinds[decoded(e.kind)];
    kind.durationsMs.append(qint64(e.durationMs));
    if (e.result == "success")
        ++kind.passed;
    else if (e.result == "failed") {
        ++kind.failed;
        ++kind.failures[decoded(e.error)];
    } else
        ++kind.stopped;
    bool isNumber = false;
    const quint64 id =
        QByteArray::fromRawData(e.deviceId.data(), int(e.deviceId.size())).toULongLong(&isNumber);
    if (e.kind == "production" && e.result == "success" && e.written && isNumber)
        report.deviceIds.append(id);
}

void addLine(RunReport& report, const QByteArray& line)
{
    if (line.trimmed().isEmpty())
        return;
    Entry e;
    // The start is ISO 8601 UTC, so its first ten characters are the date and compare as text; a
    // duration beyond 30 years is no run of ours (and would not fit the integer it goes into).
    if (!LineScanner(line.constData(), line.constData() + line.size()).object(e) ||
        !known(e.kind) ||
        (e.result != "success" && e.result != "failed" && e.result != "stopped") ||
        e.start.size() < 10 || !(e.durationMs >= 0 && e.durationMs < 1e12)) {
        ++report.skipped;
        return;
    }
    if (report.since.isEmpty() || e.start.substr(0, 10) >= report.since.toLatin1().constData())
        add(report, e);
}

// Nearest rank: the smallest duration that q of the runs do not exceed.
qint64 percentile(QVector<qint64> sorted, double q)
{
    return sorted.at(qMax(0, int(std::ceil(q * sorted.size())) - 1));
}

QVector<qint64> sortedDurations(const RunReport::Kind& kind)
{
    QVector<qint64> d = kind.durationsMs;
    std::sort(d.begin(), d.end());
    return d;
}

// Most frequent first.
QList<QPair<QString, int>> failuresByCount(const RunReport::Kind& kind)
{
    QList<QPair<QString, int>> list;
    for (auto it = kind.failures.cbegin(); it != kind.failures.cend(); ++it)
        list.append({it.key(), it.value()});
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    return list;
}

// The produced IDs in order, each once, and those produced more than once.
void producedIds(const RunReport& report, QVector<quint64>& ids, QVector<quint64>& repeated)
{
    ids = report.deviceIds;
    std::sort(ids.begin(), ids.end());
    for (int i = 1; i < ids.size(); ++i) {
        if (ids[i] == ids[i - 1] && (repeated.isEmpty() || repeated.last() != ids[i]))
            repeated.append(ids[i]);
    }
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
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

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

} // namespace

bool readRunReport(const QString& journalPath, const QString& since, RunReport& report)
{
    report = RunReport();
    report.journal = journalPath;
    report.since = since;
    QFile file(journalPath);
    if (!QFileInfo::exists(journalPath))
        return true;
    if (!QFileInfo(journalPath).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    // A torn line (a writer that died) is no whole JSON object: it counts as malformed.
    while (!file.atEnd())
        addLine(report, file.readLine());
    return file.error() == QFileDevice::NoError;
}

QString runReportText(const RunReport& report)
{
    QString out =
        QStringLiteral("Run journal: ") + escapeControls(report.journal) + QLatin1Char('\n');
    if (!report.since.isEmpty())
        out += QStringLiteral("Runs since ") + report.since + QLatin1Char('\n');
    if (report.kinds.isEmpty())
        out += QStringLiteral("No runs\n");
    for (const char* name : kKinds) {
        if (!report.kinds.contains(QLatin1String(name)))
            continue;
        const RunReport::Kind& k = report.kinds[QLatin1String(name)];
        const QVector<qint64> d = sortedDurations(k);
        out += QStringLiteral("%1: %2 runs, %3 passed, %4 failed, %5 stopped; duration median %6, "
                              "95th percentile %7\n")
                   .arg(QLatin1String(name))
                   .arg(d.size())
                   .arg(k.passed)
                   .arg(k.failed)
                   .arg(k.stopped)
                   .arg(seconds(percentile(d, 0.5)), seconds(percentile(d, 0.95)));
        for (const auto& failure : failuresByCount(k))
            out += QStringLiteral("  %1 x %2\n")
                       .arg(failure.second)
                       .arg(escapeControls(failure.first));
    }
    QVector<quint64> ids;
    QVector<quint64> repeated;
    producedIds(report, ids, repeated);
    out += QStringLiteral("Device IDs produced: %1").arg(ids.size());
    out += ids.isEmpty() ? QStringLiteral("\n") : QStringLiteral(" (") + ranges(ids) + ")\n";
    if (!repeated.isEmpty())
        out += QStringLiteral("Produced more than once: ") + ranges(repeated) + QLatin1Char('\n');
    if (report.skipped)
        out += QStringLiteral("Malformed lines skipped: %1\n").arg(report.skipped);
    return out;
}

QByteArray runReportJson(const RunReport& report)
{
    QJsonObject kinds;
    for (auto it = report.kinds.cbegin(); it != report.kinds.cend(); ++it) {
        const RunReport::Kind& k = it.value();
        const QVector<qint64> d = sortedDurations(k);
        QJsonArray failures;
        for (const auto& failure : failuresByCount(k))
            failures.append(QJsonObject{{"error", failure.first}, {"count", failure.second}});
        kinds.insert(it.key(), QJsonObject{{"runs", d.size()},
                                           {"passed", k.passed},
                                           {"failed", k.failed},
                                           {"stopped", k.stopped},
                                           {"median_ms", double(percentile(d, 0.5))},
                                           {"p95_ms", double(percentile(d, 0.95))},
                                           {"failures", failures}});
    }
    QVector<quint64> ids;
    QVector<quint64> repeated;
    producedIds(report, ids, repeated);
    const auto texts = [](const QVector<quint64>& list) {
        QJsonArray array;
        for (quint64 id : list)
            array.append(QString::number(id));
        return array;
    };
    const QJsonObject o{{"journal", report.journal},
                        {"since", report.since.isEmpty() ? QJsonValue() : QJsonValue(report.since)},
                        {"kinds", kinds},
                        {"device_ids", texts(ids)},
                        {"repeated_device_ids", texts(repeated)},
                        {"skipped_lines", report.skipped}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}
