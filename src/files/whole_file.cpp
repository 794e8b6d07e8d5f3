#include "whole_file.h"

#include <QSaveFile>

bool saveWhole(const QString& path, const QByteArray& bytes)
{
    // Unbuffered, as commit() puts a file in place even when its last buffered write failed.
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           file.write(bytes) == bytes.size() && file.commit();
}
