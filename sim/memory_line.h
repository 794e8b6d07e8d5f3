#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// Script of the in-memory serial line that replaces the platform backend in the fuzz harnesses
// and the unit tests: reads come from a queue the caller fills, writes are recorded.
namespace memline {

struct Read
{
    bool fails = false; // the read reports a failed line (-1)
    std::vector<uint8_t> bytes;
};

struct State
{
    bool openSucceeds = true;
    std::deque<Read> reads;         // served in order; a read longer than cap is served in parts
    std::vector<uint8_t> lastWrite; // raw bytes of the last write
    std::vector<std::vector<uint8_t>> writes; // raw bytes of every write, in order
    // After the script: answer every request at once (a device that never keeps the link waiting)
    // or stay silent, each read waiting out its time as a real line's does.
    bool answersAfterScript = true;
    uint8_t lastCommand = 0;        // command code of the last request written
    size_t readsServed = 0;         // scripted reads handed out (parts included)
    size_t repliesServed = 0;       // reads answered with the completing frame
};

// The line's script; reset() before every fuzz input.
State& state();
void reset();

// What every read after the script returns, unless the line is silent then: an END byte and a
// valid, payload-less response to the last request, so an exchange completes at once instead of
// waiting out its time-out.
std::vector<uint8_t> completingFrame(uint8_t command);

} // namespace memline
