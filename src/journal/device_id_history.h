#pragma once
#include <QString>

// What the run journal says about two Device IDs: the one a run is to write and the one its
// device holds now.
struct DeviceIdHistory
{
    // A run that has ended was to write the ID to be written, whether it did or not.
    bool asked = false;
    // The first run that wrote the ID to be written into a device: its run id and start.
    bool given = false;
    QString givenRun;
    QString givenStart;
    // A successful production run wrote the ID the device holds: it was produced under it.
    bool heldProduced = false;
};

// Looks both IDs up in the journal; false when the journal cannot be read. Lines that are no
// whole journal entry (torn, malformed) say nothing.
bool readDeviceIdHistory(const QString& journalPath, quint64 toWrite, quint64 held,
                         DeviceIdHistory& history);
