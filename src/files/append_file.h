#pragma once
#include <QByteArray>
#include <QString>

// How an append to an append-only file ended. A line is written whole or not at all.
enum class Append { Written, NotOpened, HeaderNotWritten, NotWritten };

// Appends line to the file, and header first when the file did not exist (not merely empty). Only
// a regular file, or a new one, is written: a FIFO could block the open and a link to a device
// would swallow the line. A write cut short (a full disk) is undone.
Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line);

// Appends line to a file that several runs, of this process or of others, append to at the same
// time (a journal): under an exclusive lock, so lines never interleave and a write cut short is
// undone without touching another writer's line. A torn last line left by a writer that died gets
// its line end first, so it spoils only itself. Only a regular file, or a new one, is written.
// True when the whole line was written.
bool appendShared(const QString& path, const QByteArray& line);
