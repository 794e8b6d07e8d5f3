#pragma once
#include <string_view>

// The fields the report reads from one run journal line: JSON string contents as they stand in
// it (escapes kept), pointing into the line.
struct JournalEntry
{
    std::string_view run;
    std::string_view kind;
    std::string_view start;
    std::string_view result;
    std::string_view error;
    std::string_view step;
    std::string_view stopCause;
    std::string_view station;
    std::string_view host;
    std::string_view deviceId;
    std::string_view previousId;
    bool written = false;
    double durationMs = -1;
};

// Reads one journal line strictly: true when it is one whole JSON object, with the fields the
// report reads taken out of it. A reader that built a document per line would spend about twice
// the time (bench/journal_report), most of it on fields the report never reads (hashes, paths);
// this one only checks their syntax.
bool scanJournalLine(const char* begin, const char* end, JournalEntry& entry);
