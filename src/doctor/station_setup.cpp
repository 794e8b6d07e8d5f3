#include "station_setup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool copyInto(const QString& from, const QString& to, StationSetup& setup)
{
    const QFileInfo target(to);
    if (target.isDir()) {
        setup.kept << QDir::toNativeSeparators(to) + QLatin1Char('/');
    } else if (target.exists() || target.isSymLink()) {
        setup.error = QDir::toNativeSeparators(to) + QStringLiteral(" is there and is no folder");
        return false;
    } else if (!QDir().mkpath(to)) {
        setup.error = QStringLiteral("cannot make the folder ") + QDir::toNativeSeparators(to);
        return false;
    } else {
        setup.created << QDir::toNativeSeparators(to) + QLatin1Char('/');
    }
    const QDir::Filters all = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden;
    for (const QFileInfo& entry : QDir(from).entryInfoList(all, QDir::Name | QDir::DirsFirst)) {
        // Keeps empty folders in the repository; a station has no use for it.
        if (entry.fileName() == QLatin1String(".gitkeep"))
            continue;
        const QString path = to + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!copyInto(entry.filePath(), path, setup))
                return false;
            continue;
        }
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            setup.kept << QDir::toNativeSeparators(path);
            continue;
        }
        QFile file(entry.filePath());
        if (!file.copy(path)) {
            setup.error = QStringLiteral("cannot copy ") +
                          QDir::toNativeSeparators(entry.filePath()) + QStringLiteral(" to ") +
                          QDir::toNativeSeparators(path) + QStringLiteral(": ") +
                          file.errorString();
            return false;
        }
        // The skeleton is the package's, read-only for the operator; the copy is the station's.
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
        setup.created << QDir::toNativeSeparators(path);
    }
    return true;
}

} // namespace

StationSetup initStation(const QString& skeleton, const QString& dir)
{
    StationSetup setup;
    if (!QFileInfo(skeleton).isDir()) {
        setup.error =
            QStringLiteral("no station folder skeleton at ") + QDir::toNativeSeparators(skeleton);
        return setup;
    }
    copyInto(skeleton, QDir::cleanPath(QFileInfo(dir).absoluteFilePath()), setup);
    return setup;
}
