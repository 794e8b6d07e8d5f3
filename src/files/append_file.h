#pragma once
#include <QByteArray>
#include <QString>
#include <QVector>

// How an append to an append-only file ended. A line is written whole or not at all.
enum class Append { Written, NotOpened, HeaderNotWritten, NotWritten };

// One line for one append-only file, and the header that file starts with when it is new.
struct FileLine
{
    QString path;
    QByteArray header; // empty: none
    QByteArray line;
};

// Appends each line to its file, all or none: every file is held under an exclusive lock (taken
// in the order given, so writers that keep one order never wait on each other in a circle) until
// all lines are out, so writers of this process or of others never interleave, and when a line
// cannot be written whole the lines already written are taken back without touching another
// writer's line. A file that does not exist (not merely empty) comes into being with its header
// already in it. Only a regular file, or a new one, is written: a FIFO could block the open and a
// link to a device would swallow the line. On failure, failedIndex receives the file that failed.
// For the whole process: a write past the file size limit (ulimit -f) fails like one to a full
// disk, which every writer reports, instead of killing the process between a unit's ID and its
// records.
void failWritesPastFileSizeLimit();

Append appendAll(const QVector<FileLine>& lines, int* failedIndex = nullptr);

// Appends line to a file that several runs, of this process or of others, append to at the same
// time (a journal), as appendAll does. A torn last line left by a writer that died gets its line
// end first, so it spoils only itself. True when the whole line was written.
bool appendShared(const QString& path, const QByteArray& line);

// Why a line could not be appended to the file now: its folder is missing, it is there but no
// regular file that opens for appending, or the disk is (nearly) full. Opens nothing but an
// existing file, and creates nothing.
enum class AppendBlocker { None, NoFolder, NotAppendable, DiskFull };
AppendBlocker appendBlocker(const QString& path);
