// In-memory SerialLine backend: the fuzz harnesses and the unit tests link it in place of a
// platform backend, so the link runs without a device and, unless told to be silent, without
// waiting.
#include "memory_line.h"
#include "serial_line.h"

#include "cdc_framing.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace memline {

State& state()
{
    static State s;
    return s;
}

void reset()
{
    state() = State();
}

std::vector<uint8_t> completingFrame(uint8_t command)
{
    // Led by an END byte, which ends whatever the script left unfinished.
    uint8_t out[1 + 2 * 3 + 1] = {cdc::kEnd};
    const size_t n = cdc::encodeFrame(out + 1, command, nullptr, 0);
    return std::vector<uint8_t>(out, out + 1 + n);
}

} // namespace memline

struct SerialLine::Impl
{
    bool open = false;
};

SerialLine::SerialLine() : d(new Impl)
{}

SerialLine::~SerialLine()
{
    delete d;
}

bool SerialLine::open(const std::string&)
{
    if (d->open || !memline::state().openSucceeds)
        return false;
    d->open = true;
    return true;
}

void SerialLine::close()
{
    d->open = false;
}

bool SerialLine::isOpen() const
{
    return d->open;
}

size_t SerialLine::write(const uint8_t* data, size_t n, const StopToken&)
{
    if (!d->open)
        return 0;
    memline::State& s = memline::state();
    s.lastWrite.assign(data, data + n);
    s.writes.push_back(s.lastWrite);
    uint8_t decoded[cdc::kMaxEncoded];
    size_t count = n;
    if (!cdc::unescapeFrame(decoded, sizeof decoded, data, count) && count >= 3)
        s.lastCommand = decoded[2];
    return n;
}

long SerialLine::read(uint8_t* buf, size_t cap, int waitMs)
{
    if (!d->open)
        return -1;
    memline::State& s = memline::state();
    if (s.reads.empty() && !s.answersAfterScript) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return 0;
    }
    if (s.reads.empty()) {
        const std::vector<uint8_t> frame = memline::completingFrame(s.lastCommand);
        const size_t n = std::min(cap, frame.size());
        memcpy(buf, frame.data(), n);
        ++s.repliesServed;
        return long(n);
    }
    memline::Read& next = s.reads.front();
    ++s.readsServed;
    if (next.fails) {
        s.reads.pop_front();
        return -1;
    }
    const size_t n = std::min(cap, next.bytes.size());
    if (n)
        memcpy(buf, next.bytes.data(), n);
    if (n == next.bytes.size())
        s.reads.pop_front();
    else
        next.bytes.erase(next.bytes.begin(), next.bytes.begin() + long(n));
    return long(n);
}

// The script is what arrives after the request, so there is nothing earlier to drop.
void SerialLine::discardInput()
{}
