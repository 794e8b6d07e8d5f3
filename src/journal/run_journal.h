#pragma once
#include <QString>

#include "logger.h"

class QDateTime;
struct RunRecord;

// The station's run journal and day logs: lines appended whole or not at all, also by several
// runs (processes) on one station folder at once; the folder is created when missing. False when
// the line could not be written.

// Appends the run's line to the journal.
bool appendRunRecord(const QString& journalPath, const RunRecord& record);

// Appends a run's log line to a day log: "<UTC time> <run id> <colour word> <text>", the text with
// its control characters escaped so that one log line stays one line.
bool appendDayLogLine(const QString& dayLogPath, const QDateTime& utc, const QString& runId,
                      LogColour colour, const QString& text);
// The same with the word given: "tool" marks what an external tool printed.
bool appendDayLogLine(const QString& dayLogPath, const QDateTime& utc, const QString& runId,
                      const QString& word, const QString& text);

// A log line's colour as a word: error, warning, result, ok, info.
QString colourWord(LogColour colour);
