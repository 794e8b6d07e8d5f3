#include "logger.h"

void Logger_c::log(const QString& text, int colour)
{
    emit sigLog(QString::number(colour, 10) + text);
}

void Logger_c::logWithLabel(const QString& text, int colour)
{
    log(text, colour);
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
