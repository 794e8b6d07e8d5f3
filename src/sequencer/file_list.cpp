#include "flashing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>

#include "file_loader.h"
#include "logger.h"
#include "regular_file.h"
#include "station.h"

namespace {

// Checks one entry of a list and files it under its mode; false (reported) when it is bad. The
// checks run in the order mode size, file, mode character.
bool takeEntryOf(Logger_c* logger, const QString& mode, const QString& name, const QString& folder,
                 QStringList& downloadNames, QStringList& jlinkNames)
{
    if (mode.size() != 1) {
        logger->logWithLabel(QStringLiteral("Incorrect mode size"), LogColour::Red);
        return false;
    }
    // Checked is the file the run will read: a download sends its base name after the
    // substitutions; a J-Link image goes to the commander by its listed name (an empty one
    // passes here, the test run refuses it).
    const bool download = mode == QLatin1String("c");
    const QString path = folder + (download ? downloadLocalName(name) : name);
    const QFileInfo info(path);
    if ((download && path == folder) || !info.exists()) {
        logger->logWithLabel(path, LogColour::Red);
        logger->logWithLabel(QStringLiteral("The file from list isn't exist"), LogColour::Red);
        return false;
    }
    // A FIFO would hold the download in open(), a device would be sent as an empty file.
    if (download && !info.isFile()) {
        logger->logWithLabel(path, LogColour::Red);
        logger->logWithLabel(QStringLiteral("The file from list isn't a regular file"),
                             LogColour::Red);
        return false;
    }
    if (mode == QLatin1String("j")) {
        jlinkNames.append(name);
    } else if (download) {
        const QString devicePath = downloadDevicePath(name, goesToUpdates(name));
        if (!devicePathFits(devicePath)) {
            logger->logWithLabel(nameTooLongMessage(devicePath), LogColour::Red);
            return false;
        }
        downloadNames.append(name);
    } else {
        logger->logWithLabel(QStringLiteral("Incorrect file mode"), LogColour::Red);
        return false;
    }
    return true;
}

// The plain line after a list's red one: which file, and why, so that a station set up in the
// wrong folder shows where the tool looked.
QString unreadableList(const QFile& file)
{
    const QFileInfo info(file.fileName());
    const QString why = !info.exists()   ? QStringLiteral("it does not exist")
                        : !info.isFile() ? QStringLiteral("it is not a regular file")
                                         : file.errorString();
    return QStringLiteral("The list ") +
           QDir::toNativeSeparators(QDir::cleanPath(info.filePath())) +
           QStringLiteral(" cannot be read: ") + why;
}

} // namespace

bool Flashing_c::readFileList(const QString& listName, QStringList& downloadNames,
                              QStringList& jlinkNames)
{
    downloadNames.clear();
    jlinkNames.clear();

    const QString folder = StationLayout(m_folder).runFolder();
    QFile file(folder + listName);
    if (!openRegularFile(file)) {
        m_logger->logWithLabel(QStringLiteral("Error while opening the list of flashing files"),
                               LogColour::Red);
        m_logger->log(unreadableList(file), LogColour::Black);
        return false;
    }

    // Lines are taken in pieces of at most 127 bytes; the last two characters of every piece are
    // its CR LF, whatever they really are.
    char buffer[128];
    while (!file.atEnd()) {
        const qint64 got = file.readLine(buffer, sizeof buffer);
        if (got < 0) {
            m_logger->logWithLabel(QStringLiteral("Error while reading the list of flashing files"),
                                   LogColour::Red);
            m_logger->log(unreadableList(file), LogColour::Black);
            return false;
        }
        QString line = QString::fromLatin1(buffer, int(strnlen(buffer, size_t(got))));
        line.chop(2);

        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() < 2) {
            m_logger->logWithLabel(QStringLiteral("Incorrect list line"), LogColour::Red);
            return false;
        }
        if (!takeEntryOf(m_logger, fields.at(0), fields.at(1), folder, downloadNames, jlinkNames))
            return false;
    }
    return true;
}
