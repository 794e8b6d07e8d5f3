#include "device_id_allocator.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>

#include "file_lock.h"
#include "regular_file.h"
#include "whole_file.h"

namespace {

// The lock is held for one read and one write of a small file; a holder far slower than that (a
// hung network drive) costs this allocation, not a duplicate.
constexpr int kLockWaitMs = 10000;
// A thread that needs a block now waits this long for another one already reserving it.
constexpr int kReserveWaitMs = 30000;
constexpr int kReserveRounds = 100;

QString journalPath(const QString& stationDir)
{
    return stationDir + QStringLiteral("/Logs/runs.jsonl");
}

// The value after "key": in one JSON line, quotes stripped; empty when the key is absent. Inside a
// JSON string every quote is escaped, so "key" followed by a colon is a key.
QByteArray fieldValue(const QByteArray& line, const QByteArray& quotedKey)
{
    const int at = line.indexOf(quotedKey);
    if (at < 0)
        return {};
    int p = at + quotedKey.size();
    auto skipSpace = [&] {
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
            ++p;
    };
    skipSpace();
    if (p >= line.size() || line[p] != ':')
        return {};
    ++p;
    skipSpace();
    int end = p;
    if (p < line.size() && line[p] == '"') {
        end = line.indexOf('"', ++p);
        if (end < 0)
            return {};
    } else {
        while (end < line.size() && line[end] != ',' && line[end] != '}' && line[end] != ' ')
            ++end;
    }
    return line.mid(p, end - p);
}

// Adds the Device IDs that the journal lines from offset on show as written, and moves offset past
// the last whole line: a line still being written is read once it is whole. Only a few lines are
// new between two allocations; the whole journal is read when the state is rebuilt.
void foldJournal(const QString& path, qint64& offset, IdRanges& taken)
{
    static const QByteArray written("\"device_id_written\"");
    static const QByteArray deviceId("\"device_id\"");
    QFile file(path);
    if (!openRegularFile(file))
        return;
    // A journal shorter than what was read is a new one: read it all.
    if (file.size() < offset)
        offset = 0;
    if (file.size() == offset || !file.seek(offset))
        return;
    QByteArray pending;
    for (QByteArray chunk; !(chunk = file.read(1 << 20)).isEmpty();) {
        pending += chunk;
        int start = 0;
        for (int end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1) {
            const QByteArray line =
                QByteArray::fromRawData(pending.constData() + start, end - start);
            bool ok = false;
            const quint64 id = fieldValue(line, deviceId).toULongLong(&ok);
            if (ok && fieldValue(line, written) == "true")
                taken.insert(id);
        }
        offset += start;
        pending.remove(0, start);
    }
}

} // namespace

struct DeviceIdAllocator::State
{
    bool hasNext = false; // the local range's next candidate, once the first ID is known
    quint64 next = 0;
    qint64 journalOffset = 0;
    IdRanges taken;          // handed out here, or shown as written by the journal
    QVector<IdBlock> blocks; // the untouched rest of the reserved blocks, in order

    QByteArray toJson() const
    {
        QJsonArray blockTexts;
        for (const IdBlock& b : blocks)
            blockTexts << blockText(b);
        return QJsonDocument(
                   QJsonObject{{"next", hasNext ? QJsonValue(QString::number(next)) : QJsonValue()},
                               {"journal_offset", double(journalOffset)},
                               {"taken", QJsonArray::fromStringList(taken.toStrings())},
                               {"blocks", blockTexts}})
                   .toJson(QJsonDocument::Compact) +
               '\n';
    }

    bool fromJson(const QByteArray& bytes)
    {
        const QJsonObject o = QJsonDocument::fromJson(bytes).object();
        bool ok = true;
        hasNext = o.value("next").isString();
        if (hasNext)
            next = o.value("next").toString().toULongLong(&ok);
        journalOffset = qint64(o.value("journal_offset").toDouble(-1));
        QStringList takenTexts;
        for (const QJsonValue& v : o.value("taken").toArray())
            takenTexts << v.toString();
        for (const QJsonValue& v : o.value("blocks").toArray()) {
            IdBlock b;
            ok = ok && parseBlockText(v.toString(), b);
            blocks << b;
        }
        return ok && journalOffset >= 0 && IdRanges::fromStrings(takenTexts, taken);
    }

    quint64 remaining() const
    {
        quint64 sum = 0;
        for (const IdBlock& b : blocks)
            sum += b.size();
        return sum;
    }
};

DeviceIdAllocator::DeviceIdAllocator(const QString& stationDir) : m_stationDir(stationDir)
{}

void DeviceIdAllocator::setFirstId(quint64 first)
{
    m_firstId = first;
    m_hasFirstId = true;
}

void DeviceIdAllocator::setBlockSource(IdBlockSource* source, quint64 blockSize)
{
    m_source = source;
    m_blockSize = blockSize;
}

QString DeviceIdAllocator::stateFile(const QString& stationDir)
{
    return stationDir + QStringLiteral("/Logs/device_ids.json");
}

template <typename Fn> DeviceIdAllocator::Result DeviceIdAllocator::withState(Fn&& fn)
{
    const QString path = stateFile(m_stationDir);
    FileLock lock(path + QStringLiteral(".lock"));
    if (!QDir().mkpath(m_stationDir + QStringLiteral("/Logs")) || !lock.lock(kLockWaitMs))
        return Result::NotPersisted;
    QFile file(path);
    const QByteArray stored = openRegularFile(file) ? file.readAll() : QByteArray();
    file.close();
    State s;
    if (!s.fromJson(stored)) {
        // Lost (or never made): rebuilt from the journal. Old blocks are left to lie, and the
        // holes below the highest written ID stay unused: one of them may be in a unit whose run
        // was cut short before its journal line.
        s = State();
        foldJournal(journalPath(m_stationDir), s.journalOffset, s.taken);
        const quint64 highest = s.taken.highest();
        if (!s.taken.isEmpty() && (!m_hasFirstId || highest >= m_firstId)) {
            s.hasNext = true;
            s.next = highest == UINT64_MAX ? highest : highest + 1;
        } else if (m_hasFirstId) {
            s.hasNext = true;
            s.next = m_firstId;
        }
    } else {
        foldJournal(journalPath(m_stationDir), s.journalOffset, s.taken);
        if (m_hasFirstId && (!s.hasNext || s.next < m_firstId)) {
            s.hasNext = true;
            s.next = m_firstId;
        }
    }
    const Result result = fn(s);
    const QByteArray bytes = s.toJson();
    if (bytes == stored)
        return result;
    // A cut state would give IDs out again: the old one stays until the new one is whole.
    if (!saveWhole(path, bytes))
        return Result::NotPersisted;
    return result;
}

DeviceIdAllocator::Result DeviceIdAllocator::take(quint64& id, const quint64* keep)
{
    return withState([&](State& s) {
        if (keep && s.taken.contains(*keep)) {
            id = *keep;
            return Result::Ok;
        }
        quint64 free = 0;
        if (m_source) {
            while (!s.blocks.isEmpty()) {
                IdBlock& block = s.blocks.first();
                if (s.taken.firstFreeFrom(block.first, free) && free <= block.last) {
                    id = free;
                    s.taken.insert(free);
                    if (free == block.last)
                        s.blocks.removeFirst();
                    else
                        block.first = free + 1;
                    return Result::Ok;
                }
                s.blocks.removeFirst();
            }
            return Result::NoneLeft;
        }
        if (!s.hasNext)
            return Result::NoFirstId;
        if (!s.taken.firstFreeFrom(s.next, free))
            return Result::NoneLeft;
        id = free;
        s.taken.insert(free);
        s.next = free == UINT64_MAX ? free : free + 1;
        return Result::Ok;
    });
}

DeviceIdAllocator::Result DeviceIdAllocator::allocate(quint64& id)
{
    return takeOrReserve(id, nullptr);
}

DeviceIdAllocator::Result DeviceIdAllocator::keepOrAllocate(quint64 currentId, quint64& id)
{
    return takeOrReserve(id, &currentId);
}

DeviceIdAllocator::Result DeviceIdAllocator::takeOrReserve(quint64& id, const quint64* keep)
{
    Result result = take(id, keep);
    // Other slots may use up a fresh block before this one gets to it; each round, though, some
    // slot got an ID.
    for (int round = 0;
         round < kReserveRounds && result == Result::NoneLeft && m_source && reserve(Need::Any);
         ++round)
        result = take(id, keep);
    return result;
}

DeviceIdAllocator::Result DeviceIdAllocator::note(quint64 id, bool& wasTaken)
{
    return withState([&](State& s) {
        wasTaken = s.taken.contains(id);
        s.taken.insert(id);
        return Result::Ok;
    });
}

bool DeviceIdAllocator::available()
{
    if (m_source)
        return remaining() > 0 || reserve(Need::Any);
    const Result result = withState([](State& s) {
        quint64 free = 0;
        if (!s.hasNext)
            return Result::NoFirstId;
        return s.taken.firstFreeFrom(s.next, free) ? Result::Ok : Result::NoneLeft;
    });
    return result == Result::Ok;
}

quint64 DeviceIdAllocator::remaining()
{
    quint64 left = 0;
    const Result result = withState([&](State& s) {
        left = s.remaining();
        return Result::Ok;
    });
    return result == Result::Ok ? left : 0;
}

quint64 DeviceIdAllocator::lowWater() const
{
    return qMax<quint64>(1, m_blockSize / 4);
}

bool DeviceIdAllocator::topUp()
{
    return !m_source || reserve(Need::LowWater);
}

bool DeviceIdAllocator::reserve(Need need)
{
    // One reservation at a time per station folder, without holding the state's lock meanwhile:
    // allocations go on from the blocks in hand while the line answers slowly or not at all.
    FileLock reserving(stateFile(m_stationDir) + QStringLiteral(".reserve.lock"));
    if (!reserving.lock(need == Need::Any ? kReserveWaitMs : 0))
        return false;
    // Another thread or process may have reserved one while this one waited.
    const quint64 left = remaining();
    if (need == Need::Any ? left > 0 : left >= lowWater())
        return true;
    IdBlock block;
    if (!m_source->reserveBlock(block))
        return false;
    const Result result = withState([&](State& s) {
        s.blocks << block;
        return Result::Ok;
    });
    return result == Result::Ok;
}
