#pragma once
#include <QIODevice>

class QFile;

// Opens the file, but only when it is a regular file (after following symlinks). A FIFO would
// hold the run in open() until some writer came, and a device such as /dev/zero hands out endless
// bytes or none; both are refused without waiting. mode is ReadOnly, or an append mode
// (ReadWrite | Append, Unbuffered if wanted) that creates a missing file.
bool openRegularFile(QFile& file, QIODevice::OpenMode mode = QIODevice::ReadOnly);
