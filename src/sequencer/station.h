#pragma once
#include <QString>

class QDate;

// The station folder that every run path starts from, as the front end chose it
// (chooseStationDir) or a test set it; the program's own folder until then.
QString stationDir();
void setStationDir(const QString& dir);

// Which station folder a program start uses: the one given (--station-dir), else the program's
// own folder where it is a station (it holds Production/ or TestFiles/: the Windows layout), else
// the folder VELTORA_STATION_DIR names. None: `error` says why, naming both places.
struct StationChoice
{
    QString dir;    // absolute; empty when there is none
    QString origin; // how it was chosen, for the operator
    QString error;
};
StationChoice chooseStationDir(const QString& given);
// Whether a folder holds a run folder.
bool isStationFolder(const QString& dir);
// Where the station folder skeleton lies: share/veltora/station beside the program's bin folder,
// as the package installs it and a build tree mirrors it.
QString stationSkeleton();

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
