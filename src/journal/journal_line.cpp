#include "journal_line.h"

#include <QByteArray>
#include <cctype>
#include <cstring>

namespace {

using Text = std::string_view;

// A strict scanner of one JSON object.
class LineScanner
{
public:
    LineScanner(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    bool object(JournalEntry& e)
    {
        space();
        if (!take('{'))
            return false;
        space();
        if (take('}'))
            return atEnd();
        do {
            space();
            Text key;
            if (!string(&key))
                return false;
            space();
            if (!take(':'))
                return false;
            space();
            if (!field(key, e))
                return false;
            space();
        } while (take(','));
        return take('}') && atEnd();
    }

private:
    bool field(Text key, JournalEntry& e)
    {
        static const struct
        {
            const char* key;
            Text JournalEntry::*text;
        } texts[] = {{"run", &JournalEntry::run},
                     {"kind", &JournalEntry::kind},
                     {"start", &JournalEntry::start},
                     {"result", &JournalEntry::result},
                     {"error", &JournalEntry::error},
                     {"step", &JournalEntry::step},
                     {"stop_cause", &JournalEntry::stopCause},
                     {"station", &JournalEntry::station},
                     {"host", &JournalEntry::host},
                     {"device_id", &JournalEntry::deviceId},
                     {"previous_device_id", &JournalEntry::previousId}};
        for (const auto& t : texts) {
            if (key == t.key)
                return literal("null") || string(&(e.*t.text));
        }
        if (key == "device_id_written") {
            e.written = literal("true");
            return e.written || literal("false");
        }
        if (key == "duration_ms")
            return number(&e.durationMs);
        return value(0);
    }

    bool value(int depth)
    {
        if (m_p == m_end || depth > 32)
            return false;
        const char c = *m_p;
        if (c == '"')
            return string(nullptr);
        if (c == '{' || c == '[')
            return container(c == '{' ? '}' : ']', c == '{', depth);
        return literal("true") || literal("false") || literal("null") || number(nullptr);
    }

    bool container(char close, bool keyed, int depth)
    {
        ++m_p;
        space();
        if (take(close))
            return true;
        do {
            space();
            if (keyed && !(string(nullptr) && (space(), take(':'))))
                return false;
            space();
            if (!value(depth + 1))
                return false;
            space();
        } while (take(','));
        return take(close);
    }

    // The raw contents between the quotes, escapes checked but kept.
    bool string(Text* out)
    {
        if (!take('"'))
            return false;
        const char* from = m_p;
        while (m_p != m_end && *m_p != '"') {
            if (uchar(*m_p) < 0x20)
                return false;
            if (*m_p == '\\' && ++m_p == m_end)
                return false;
            ++m_p;
        }
        if (m_p == m_end)
            return false;
        if (out)
            *out = Text(from, size_t(m_p - from));
        ++m_p;
        return true;
    }

    // Numbers the report does not read are only checked for their characters.
    bool number(double* out)
    {
        const char* from = m_p;
        while (m_p != m_end && *m_p && (std::isdigit(uchar(*m_p)) || strchr("+-.eE", *m_p)))
            ++m_p;
        if (!out)
            return m_p != from;
        bool ok = false;
        *out = QByteArray(from, int(m_p - from)).toDouble(&ok);
        return ok;
    }

    bool literal(const char* word)
    {
        const size_t n = strlen(word);
        if (size_t(m_end - m_p) < n || memcmp(m_p, word, n) != 0)
            return false;
        m_p += n;
        return true;
    }

    bool take(char c)
    {
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    void space()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n'))
            ++m_p;
    }
    bool atEnd()
    {
        space();
        return m_p == m_end;
    }

    const char* m_p;
    const char* m_end;
};

} // namespace

bool scanJournalLine(const char* begin, const char* end, JournalEntry& entry)
{
    return LineScanner(begin, end).object(entry);
}
