#pragma once
#include <QByteArray>
#include <QString>

// How an append to an append-only file ended. A line is written whole or not at all.
enum class Append { Written, NotOpened, HeaderNotWritten, NotWritten };

// Appends line to the file, and header first when the file did not exist (not merely empty). Only
// a regular file, or a new one, is written: a FIFO could block the open and a link to a device
// would swallow the line. A write cut short (a full disk) is undone.
Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line);
