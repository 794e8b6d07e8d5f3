#pragma once
#include <QByteArray>
#include <QString>

// One file as it went into or came out of a device: its name there, its size and the SHA-256 of
// its bytes (lower-case hex), for the run journal.
struct FileDigest
{
    QString name;
    qint64 size = 0;
    QByteArray sha256;
};

// The SHA-256 of a regular file's bytes in lower-case hex; empty when it cannot be read.
QByteArray sha256OfFile(const QString& path);
