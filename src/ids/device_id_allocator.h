#pragma once
#include <QString>

#include "id_ranges.h"

// Where a station on a line gets its Device IDs: blocks that the line hands out, never
// overlapping between stations. Called from whichever thread allocates; may take as long as its
// own time-outs.
class IdBlockSource
{
public:
    virtual ~IdBlockSource() = default;
    // Reserves the line's next block for this station in one step; false when it cannot now.
    [[nodiscard]] virtual bool reserveBlock(IdBlock& block) = 0;
};

// The station's Device ID allocator: hands out IDs that no run on this station folder (thread or
// process, window or command line) ever gets twice. Every ID is persisted as taken in the
// station's Logs/ before it is handed out, under a lock, so a process killed right after still
// never sees it given again. Without a block source it counts up from the first ID; with one it
// hands out the IDs of the blocks it reserved, and keeps doing so while the line is away. IDs that
// the run journal shows as written are never handed out. One object may serve several threads.
class DeviceIdAllocator
{
public:
    enum class Result {
        Ok,
        NoFirstId,   // a station without IDs yet needs its first one
        NoneLeft,    // the range or the reserved blocks are used up, and no block can be had now
        NotPersisted // the state could not be locked or written: nothing was handed out
    };

    explicit DeviceIdAllocator(const QString& stationDir);

    // The lowest ID the local range hands out: where it starts when the station has no IDs yet,
    // and a floor afterwards (a later, higher first ID moves the range up; a lower one is
    // ignored, so the range never goes back over IDs it may have given).
    void setFirstId(quint64 first);
    // Line mode: IDs only from blocks of blockSize reserved through source (which must outlive the
    // allocator); the next block is reserved once fewer than a quarter of one are left.
    void setBlockSource(IdBlockSource* source, quint64 blockSize);

    // A fresh ID. Waits on the line only when no reserved ID is left.
    [[nodiscard]] Result allocate(quint64& id);
    // For a unit that comes back: its current ID when this station handed it out or wrote it
    // (state or journal), else a fresh one.
    [[nodiscard]] Result keepOrAllocate(quint64 currentId, quint64& id);
    // Notes an ID that a run writes by the operator's choice as taken, before it is written, so
    // that no allocation on this station folder hands it out afterwards, whether or not the run
    // ever reaches its journal line. wasTaken: it was taken already (handed out, noted, or
    // shown as written by the journal).
    [[nodiscard]] Result note(quint64 id, bool& wasTaken);
    // Whether an ID can be had now; with a block source and none left, tries to reserve a block.
    bool available();
    // Reserves the next block when the station runs low (for a background thread or a run's end);
    // true when none was needed or one was reserved. Returns at once while another thread or
    // process is reserving.
    bool topUp();
    // IDs left in the reserved blocks (line mode).
    quint64 remaining();

    // The state file and the lock beside it.
    static QString stateFile(const QString& stationDir);

private:
    struct State;
    enum class Need { Any, LowWater };
    template <typename Fn> Result withState(Fn&& fn);
    Result take(quint64& id, const quint64* keep);
    Result takeOrReserve(quint64& id, const quint64* keep);
    bool reserve(Need need);
    quint64 lowWater() const;

    QString m_stationDir;
    quint64 m_firstId = 0;
    bool m_hasFirstId = false;
    IdBlockSource* m_source = nullptr;
    quint64 m_blockSize = 0;
};
