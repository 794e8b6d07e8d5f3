#include "whole_file.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

bool isSpecial(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isFile();
}

} // namespace

bool saveWhole(const QString& path, const QByteArray& bytes)
{
    if (isSpecial(path))
        return false;
    // Unbuffered, as commit() puts a file in place even when its last buffered write failed.
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           file.write(bytes) == bytes.size() && file.commit();
}

bool writeOutput(const QString& path, const QByteArray& bytes)
{
    if (!isSpecial(path))
        return saveWhole(path, bytes);
    if (QFileInfo(path).isDir())
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           file.write(bytes) == bytes.size();
}
