#include "file_digest.h"

#include <QCryptographicHash>
#include <QFile>

#include "regular_file.h"

QByteArray sha256OfFile(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!openRegularFile(file) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}
