#pragma once
#include <QByteArray>
#include <QString>

// Writes a small file whole beside the old one and renames it over it, so a crash or a full
// disk leaves the old file or the new one, never a cut one. False when it could not be written,
// and for a path that names something other than a regular file (a device, a FIFO): renaming
// over /dev/null would put a file in its place.
bool saveWhole(const QString& path, const QByteArray& bytes);

// An output the user named: a regular file (or a new one) is written whole as above; a device or
// a pipe (/dev/stdout, /dev/null, a shell's process substitution) is written into as it is.
bool writeOutput(const QString& path, const QByteArray& bytes);
