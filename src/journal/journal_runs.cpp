// The run journal read into report runs.
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <cctype>
#include <cstring>
#include <string_view>

#include "run_report.h"

namespace {

using Text = std::string_view;

// The journal fields the report reads from one line: JSON string contents as they stand in it.
struct Entry
{
    Text run;
    Text kind;
    Text start;
    Text result;
    Text error;
    Text step;
    Text stopCause;
    Text station;
    Text host;
    Text deviceId;
    Text previousId;
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
        static const struct
        {
            const char* key;
            Text Entry::*text;
        } texts[] = {{"run", &Entry::run},
                     {"kind", &Entry::kind},
                     {"start", &Entry::start},
                     {"result", &Entry::result},
                     {"error", &Entry::error},
                     {"step", &Entry::step},
                     {"stop_cause", &Entry::stopCause},
                     {"station", &Entry::station},
                     {"host", &Entry::host},
                     {"device_id", &Entry::deviceId},
                     {"previous_device_id", &Entry::previousId}};
        for (const auto& t : texts) {
            if (key == t.key)
                return literal("null") || string(&(e.*t.text));
        }
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

QByteArray bytes(Text raw)
{
    return QByteArray::fromRawData(raw.data(), int(raw.size()));
}

// A JSON string's contents as text; the document parser decodes the escapes.
QString decoded(Text raw)
{
    if (raw.find('\\') == Text::npos)
        return QString::fromUtf8(raw.data(), int(raw.size()));
    return QJsonDocument::fromJson("[\"" + QByteArray(raw.data(), int(raw.size())) + "\"]")
        .array()
        .at(0)
        .toString();
}

// Kinds, stations, steps and red lines repeat from run to run: each is decoded once.
class Texts
{
public:
    QString operator()(Text raw)
    {
        const auto it = m_known.constFind(bytes(raw));
        if (it != m_known.cend())
            return it.value();
        return *m_known.insert(QByteArray(raw.data(), int(raw.size())), decoded(raw));
    }

private:
    QHash<QByteArray, QString> m_known;
};

int digits(Text t, size_t at, size_t n)
{
    int value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (!std::isdigit(uchar(t[i])))
            return -1;
        value = value * 10 + (t[i] - '0');
    }
    return value;
}

// "2024-05-06T08:31:13.373Z", as the run host writes it, in milliseconds since 1970; false when
// the text is no such time.
bool utcMs(Text t, qint64& ms)
{
    if (t.size() != 24 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
        t[16] != ':' || t[19] != '.' || t[23] != 'Z')
        return false;
    const QDate date(digits(t, 0, 4), digits(t, 5, 2), digits(t, 8, 2));
    const int h = digits(t, 11, 2);
    const int m = digits(t, 14, 2);
    const int s = digits(t, 17, 2);
    const int milli = digits(t, 20, 3);
    if (!date.isValid() || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || milli < 0)
        return false;
    ms = ((date.toJulianDay() - 2440588) * 86400 + h * 3600 + m * 60 + s) * 1000 + milli;
    return true;
}

bool deviceId(Text t, quint64& id)
{
    bool ok = false;
    id = bytes(t).toULongLong(&ok);
    return ok;
}

bool takeLine(const QByteArray& line, Texts& texts, ReportRun& run)
{
    Entry e;
    if (!LineScanner(line.constData(), line.constData() + line.size()).object(e))
        return false;
    run.kind = texts(e.kind);
    static const QStringList kinds = {"production", "test", "retest", "fetch"};
    // A duration beyond 30 years is no run of ours (and would not fit the integer it goes into).
    if (!kinds.contains(run.kind) || !utcMs(e.start, run.startMs) ||
        !(e.durationMs >= 0 && e.durationMs < 1e12))
        return false;
    if (e.result == "success")
        run.result = ReportRun::Result::Passed;
    else if (e.result == "failed")
        run.result = ReportRun::Result::Failed;
    else if (e.result == "stopped")
        run.result = ReportRun::Result::Stopped;
    else
        return false;
    run.id = decoded(e.run);
    run.durationMs = qint64(e.durationMs);
    run.station = texts(e.station.empty() ? e.host : e.station);
    run.error = texts(e.error);
    run.step = texts(e.step);
    run.stopCause = texts(e.stopCause);
    run.hasDeviceId = deviceId(e.deviceId, run.deviceId);
    run.deviceIdWritten = e.written;
    run.hasPreviousId = deviceId(e.previousId, run.previousDeviceId);
    return true;
}

} // namespace

bool readJournalRuns(const QString& journalPath, QVector<ReportRun>& runs, int& skipped)
{
    runs.clear();
    skipped = 0;
    if (!QFileInfo::exists(journalPath))
        return true;
    QFile file(journalPath);
    if (!QFileInfo(journalPath).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    Texts texts;
    // A torn line (a writer that died) is no whole JSON object: it counts as malformed.
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.trimmed().isEmpty())
            continue;
        ReportRun run;
        if (takeLine(line, texts, run))
            runs.append(run);
        else
            ++skipped;
    }
    return file.error() == QFileDevice::NoError;
}
