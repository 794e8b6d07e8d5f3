#pragma once
#include <QString>
#include <QStringList>
#include <QVector>

// A run of Device IDs, first to last inclusive (a half-open end could not hold the last 64-bit ID).
struct IdBlock
{
    quint64 first = 0;
    quint64 last = 0;
    quint64 size() const { return last - first + 1; } // 0 for the whole 64-bit range
};

// A set of Device IDs kept as sorted, disjoint, non-touching runs, so a station's IDs, handed out
// mostly in order, stay a few runs however many units it made.
class IdRanges
{
public:
    void insert(quint64 id);
    bool contains(quint64 id) const;
    // The lowest ID from id upward that is not in the set; false when none is left below 2^64.
    bool firstFreeFrom(quint64 id, quint64& free) const;
    bool isEmpty() const { return m_runs.isEmpty(); }
    quint64 highest() const { return m_runs.isEmpty() ? 0 : m_runs.last().last; }

    // "first-last" per run, or "id" for a run of one.
    QStringList toStrings() const;
    static bool fromStrings(const QStringList& texts, IdRanges& ranges);

private:
    QVector<IdBlock> m_runs;
};

// "first-last" or "id" for a run, and back; false for anything else.
QString blockText(const IdBlock& block);
bool parseBlockText(const QString& text, IdBlock& block);
