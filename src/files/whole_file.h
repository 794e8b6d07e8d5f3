#pragma once
#include <QByteArray>
#include <QString>

// Writes a small file whole beside the old one and renames it over it, so a crash or a full
// disk leaves the old file or the new one, never a cut one. False when it could not be written.
bool saveWhole(const QString& path, const QByteArray& bytes);
