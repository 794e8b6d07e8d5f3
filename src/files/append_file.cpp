#include "append_file.h"

#include <QFile>
#include <QFileInfo>

namespace {
// Append-only; bytes go unchanged, so the LF line ends stay LF on Windows too.
constexpr QIODevice::OpenMode kAppend = QIODevice::ReadWrite | QIODevice::Append;
} // namespace

Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line)
{
    const QFileInfo info(path);
    const bool existed = info.exists();
    QFile file(path);
    if ((existed && !info.isFile()) || !file.open(kAppend))
        return Append::NotOpened;
    const qint64 oldSize = file.size();
    Append result = Append::Written;
    if (!existed && !header.isEmpty() && file.write(header) != header.size())
        result = Append::HeaderNotWritten;
    // Buffered writes surface a full disk only when flushed, so the flush is part of the check.
    else if (file.write(line) != line.size() || !file.flush())
        result = Append::NotWritten;
    file.close();
    if (result == Append::Written && file.error() != QFileDevice::NoError)
        result = Append::NotWritten;
    if (result != Append::Written) {
        // A line cut short would spoil the file for every later reader: back to the old size,
        // or gone when this write created it.
        if (existed)
            file.resize(oldSize);
        else
            file.remove();
    }
    return result;
}

