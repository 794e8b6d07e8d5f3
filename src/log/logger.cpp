#include "logger.h"

void Logger_c::log(const QString& text, int colour)
{
    emit sigLog(QString::number(colour, 10) + text);
    emit sigLine(text, colour, false);
}

void Logger_c::logWithLabel(const QString& text, int colour)
{
    emit sigLog(QString::number(colour, 10) + text);
    emit sigLine(text, colour, true);
    emit sigLabel(text);
}

void Logger_c::label(const QString& text)
{
    emit sigLabel(text);
}

void Logger_c::progress(int value)
{
    emit sigProgress(value);
}

LogLine decodeLogLine(const QString& line)
{
    // Only the first character is the code; it is dropped whatever it is.
    return {line.mid(1), line.isEmpty() ? -1 : line.at(0).digitValue()};
}
