// The run journal read into report runs.
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <cctype>
#include <cstring>
#include <string_view>

#include "journal_line.h"
#include "run_report.h"

namespace {

using Text = std::string_view;

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
    JournalEntry e;
    if (!scanJournalLine(line.constData(), line.constData() + line.size(), e))
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

bool readJournalLine(const QByteArray& line, ReportRun& run)
{
    Texts texts;
    return takeLine(line, texts, run);
}

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
