#include "run_journal.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include "append_file.h"
#include "logger.h"
#include "run_record.h"

namespace {

bool appendInFolder(const QString& path, const QByteArray& line)
{
    return QDir().mkpath(QFileInfo(path).path()) && appendShared(path, line);
}

} // namespace

bool appendRunRecord(const QString& journalPath, const RunRecord& record)
{
    return appendInFolder(journalPath, record.toJsonLine());
}

bool appendDayLogLine(const QString& dayLogPath, const QDateTime& utc, const QString& runId,
                      LogColour colour, const QString& text)
{
    return appendDayLogLine(dayLogPath, utc, runId, colourWord(colour), text);
}

bool appendDayLogLine(const QString& dayLogPath, const QDateTime& utc, const QString& runId,
                      const QString& word, const QString& text)
{
    const QString line = utc.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + runId +
                         QLatin1Char(' ') + word + QLatin1Char(' ') + escapeControls(text) +
                         QLatin1Char('\n');
    return appendInFolder(dayLogPath, line.toUtf8());
}

QString colourWord(LogColour colour)
{
    switch (colour) {
    case LogColour::Red:
        return QStringLiteral("error");
    case LogColour::Yellow:
        return QStringLiteral("warning");
    case LogColour::Blue:
        return QStringLiteral("result");
    case LogColour::Green:
        return QStringLiteral("ok");
    case LogColour::Black:
        break;
    }
    return QStringLiteral("info");
}
