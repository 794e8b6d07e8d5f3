#pragma once
#include <QString>

class QDate;

// The station folder that every run path starts from: the program's own folder unless
// --station-dir (or a test) sets another one.
QString stationDir();
void setStationDir(const QString& dir);

// Every path of a run in the station folder, built in one place from the station folder and the
// run folder ("/Production/" or "/TestFiles/", with both slashes).
class StationLayout
{
public:
    explicit StationLayout(const QString& runFolder);

    // The run folder: lists, listed files, nRF images and the commander's script live here.
    QString runFolder() const { return m_runFolder; }
    QString runFile(const QString& name) const { return m_runFolder + name; }
    QString publicKeysFile() const;
    QString macFile() const;
    // The J-Link commander runs in the station folder (the run folder's parent).
    QString commanderFolder() const;
    QString commanderScript() const;
    // The station folder's own commander (JLink.exe on Windows, JLinkExe elsewhere) comes first;
    // then the installed J-Link software: on Windows where its installer recorded it, elsewhere
    // JLinkExe on the PATH.
    QString commanderProgram() const;

    // The station's traceability files, beside the run folders: the run journal and one day log
    // per UTC date.
    static QString logsFolder();
    static QString journalFile();
    static QString dayLogFile(const QDate& utcDate);

private:
    QString m_runFolder;
};
