#pragma once
#include <QObject>
#include <QString>

// The one channel through which a run reports: log lines, label texts and progress values.
class Logger_c : public QObject
{
    Q_OBJECT
public:
    Logger_c() : QObject(nullptr) {}

    void log(const QString& text, int colour);
    void logWithLabel(const QString& text, int colour);
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
    void sigLine(QString text, int colour, bool label);
    void sigTrace(QString text);
};

// A log line as the operator sees it: the colour code of its first character (-1 when that is
// no digit) and the text after it.
struct LogLine
{
    QString text;
    int colour;
};
LogLine decodeLogLine(const QString& line);

// The text with every control character (C0, DEL, C1) shown as \xHH, so that no text from the
// device or the command line can move the cursor, recolour or forge lines on a terminal or in a
// log file.
QString escapeControls(const QString& text);
