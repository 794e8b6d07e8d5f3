#pragma once
#include <QMetaType>
#include <QObject>
#include <QString>

// The colour codes of the log protocol: the decimal digit at the start of every log line, and the
// colour the window, the terminal and the day log give the line.
enum class LogColour {
    Black = 0,  // progress
    Red = 1,    // errors and failed steps
    Yellow = 2, // warnings; no run emits one
    Blue = 3,   // notable results
    Green = 4,  // successful steps
};
Q_DECLARE_METATYPE(LogColour)

// A line's code as the log view takes it: 1 to 4 their colour, anything else (0, 5 to 9, -1 for
// no digit) black.
LogColour logColourOf(int code);

// The one channel through which a run reports: log lines, label texts and progress values.
class Logger_c : public QObject
{
    Q_OBJECT
public:
    Logger_c();

    void log(const QString& text, LogColour colour);
    void logWithLabel(const QString& text, LogColour colour);
    void label(const QString& text);
    void progress(int value);
    // A line for the day log only, not for the operator: what an external tool printed.
    void trace(const QString& text);
    // Bytes of one file moved so far, beside the percentages that progress() carries.
    void transferProgress(const QString& fileName, qint64 done, qint64 total);

signals:
    void sigLog(QString txt);
    void sigLabel(QString txt);
    void sigProgress(int value);
    // fileName: the file's name on the device.
    void sigTransferProgress(QString fileName, qint64 done, qint64 total);
    // The same line as sigLog, already taken apart; label: it also went to the progress label.
    void sigLine(QString text, LogColour colour, bool label);
    void sigTrace(QString text);
};

// A log line as the operator sees it: the colour of its first character and the text after it.
struct LogLine
{
    QString text;
    LogColour colour;
};
LogLine decodeLogLine(const QString& line);

// The text with every control character (C0, DEL, C1) shown as \xHH, so that no text from the
// device or the command line can move the cursor, recolour or forge lines on a terminal or in a
// log file.
QString escapeControls(const QString& text);
