#include "id_ranges.h"

#include <algorithm>
#include <cstdint>

namespace {

// The first run that ends at or after id.
template <typename It> It runAtOrAfter(It begin, It end, quint64 id)
{
    return std::lower_bound(begin, end, id, [](const IdBlock& r, quint64 v) { return r.last < v; });
}

} // namespace

void IdRanges::insert(quint64 id)
{
    auto it = runAtOrAfter(m_runs.begin(), m_runs.end(), id);
    if (it != m_runs.end() && it->first <= id)
        return;
    const bool joinsNext = it != m_runs.end() && id != UINT64_MAX && it->first == id + 1;
    const bool joinsPrevious = it != m_runs.begin() && id != 0 && (it - 1)->last == id - 1;
    if (joinsPrevious && joinsNext) {
        (it - 1)->last = it->last;
        m_runs.erase(it);
    } else if (joinsPrevious) {
        (it - 1)->last = id;
    } else if (joinsNext) {
        it->first = id;
    } else {
        m_runs.insert(it, IdBlock{id, id});
    }
}

bool IdRanges::contains(quint64 id) const
{
    const auto it = runAtOrAfter(m_runs.cbegin(), m_runs.cend(), id);
    return it != m_runs.cend() && it->first <= id;
}

bool IdRanges::firstFreeFrom(quint64 id, quint64& free) const
{
    const auto it = runAtOrAfter(m_runs.cbegin(), m_runs.cend(), id);
    if (it == m_runs.cend() || it->first > id) {
        free = id;
        return true;
    }
    // Runs never touch, so the ID after a run is free, if there is one.
    if (it->last == UINT64_MAX)
        return false;
    free = it->last + 1;
    return true;
}

QStringList IdRanges::toStrings() const
{
    QStringList texts;
    for (const IdBlock& run : m_runs)
        texts << blockText(run);
    return texts;
}

bool IdRanges::fromStrings(const QStringList& texts, IdRanges& ranges)
{
    ranges.m_runs.clear();
    for (const QString& text : texts) {
        IdBlock run;
        if (!parseBlockText(text, run))
            return false;
        // Stored in order and apart; anything else is not a file this allocator wrote.
        if (!ranges.m_runs.isEmpty() &&
            (ranges.m_runs.last().last == UINT64_MAX || run.first <= ranges.m_runs.last().last + 1))
            return false;
        ranges.m_runs << run;
    }
    return true;
}

QString blockText(const IdBlock& block)
{
    return block.first == block.last
               ? QString::number(block.first)
               : QString::number(block.first) + '-' + QString::number(block.last);
}

bool parseBlockText(const QString& text, IdBlock& block)
{
    const QStringList parts = text.split('-');
    bool firstOk = false;
    bool lastOk = parts.size() == 1;
    block.first = parts.value(0).toULongLong(&firstOk);
    block.last = parts.size() == 2 ? parts[1].toULongLong(&lastOk) : block.first;
    return parts.size() <= 2 && firstOk && lastOk && block.first <= block.last;
}
