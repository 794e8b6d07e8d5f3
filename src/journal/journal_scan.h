#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// Hands every line of the file that contains one of the texts to found (whole, without its line
// end, in file order) until found returns false. The other lines are searched, never parsed, so
// a journal of 100,000 runs takes tens of milliseconds however long its lines are. A missing file
// has no lines; false when the file cannot be read (or is no regular file).
bool scanLinesContaining(const QString& path, const QList<QByteArray>& texts,
                         const std::function<bool(const QByteArray& line)>& found);
