#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

#include "file_digest.h"

// What one run did, as its line in the run journal: the worker fills in the facts from the device
// as the run goes, the run host the rest once the run has ended.
struct RunRecord
{
    enum class Result { Stopped, Success, Failed };
    struct Image
    {
        QString name;
        QByteArray sha256; // empty when the image could not be read
        int exitCode = -1; // the commander's; -1 when it did not run, crashed or was killed
        QString failure;   // the line the operator was shown after the red one; empty: none
    };

    // From the run host.
    QString id;
    QString kind; // production, test, retest or fetch
    QDateTime start;
    QDateTime end;
    QString version;
    QString host;
    QString station;            // the station's name (station.ini), else the host name
    QString stopCause;          // a stopped run: stop, time limit or window closed
    bool deviceIdAsked = false; // the run was to write deviceId
    quint64 deviceId = 0;
    QString error; // the red line that ended a failed run

    // From the worker.
    bool deviceIdWritten = false;
    // The ID the device held, produced under it before, when the run gave it another one.
    std::optional<quint64> previousDeviceId;
    QString port;
    QString firmware;
    QList<FileDigest> files;   // downloaded into the device
    QList<FileDigest> fetched; // fetched from it
    QList<Image> images;
    QString step; // a failed run: the step that failed (file list, download, MACs, ...)
    // A successful production run: the unit's key and MACs as its records hold them.
    QByteArray key; // raw bytes; Base64 in the line, as in public_keys.json
    QString wifiMac;
    QString ethernetMac;
    Result result = Result::Stopped; // a stopped run ends without saying so

    // The journal line, LF-terminated: one compact JSON object.
    QByteArray toJsonLine() const;
};
