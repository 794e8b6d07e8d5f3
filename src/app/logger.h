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

signals:
    void sigLog(QString txt);
    void sigLabel(QString txt);
    void sigProgress(int value);
};
