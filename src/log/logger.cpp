#include "logger.h"

#include <algorithm>

LogColour logColourOf(int code)
{
    switch (code) {
    case int(LogColour::Red):
        return LogColour::Red;
    case int(LogColour::Yellow):
        return LogColour::Yellow;
    case int(LogColour::Blue):
        return LogColour::Blue;
    case int(LogColour::Green):
        return LogColour::Green;
    default:
        return LogColour::Black;
    }
}

Logger_c::Logger_c() : QObject(nullptr)
{
    // sigLine reaches other threads queued.
    qRegisterMetaType<LogColour>();
}

void Logger_c::log(const QString& text, LogColour colour)
{
    emit sigLog(QString::number(int(colour), 10) + text);
    emit sigLine(text, colour, false);
}

void Logger_c::logWithLabel(const QString& text, LogColour colour)
{
    emit sigLog(QString::number(int(colour), 10) + text);
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

void Logger_c::trace(const QString& text)
{
    emit sigTrace(text);
}

void Logger_c::transferProgress(const QString& fileName, qint64 done, qint64 total)
{
    emit sigTransferProgress(fileName, done, total);
}

LogLine decodeLogLine(const QString& line)
{
    // Only the first character is the code; it is dropped whatever it is.
    return {line.mid(1), logColourOf(line.isEmpty() ? -1 : line.at(0).digitValue())};
}

QString escapeControls(const QString& text)
{
    const auto isControl = [](QChar c) {
        const ushort u = c.unicode();
        return u < 0x20 || (u >= 0x7F && u <= 0x9F);
    };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QString out;
    for (const QChar c : text) {
        if (isControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}
