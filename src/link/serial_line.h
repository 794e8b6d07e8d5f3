#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "stop_token.h"

// An exclusive, raw 115200 8N1 serial port that moves bytes only; framing lies above it. Each
// platform backend lives in its own file. Kept free of Qt and of OS handle types so the Win32
// backend builds with a bare cross compiler.
class SerialLine
{
public:
    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens and configures the port; false when it is absent, in use or already open here.
    // POSIX: a name containing "/" is a path, any other name is looked up under /dev/.
    // Win32: the name (COM7) is opened as "\\.\" + name.
    bool open(const std::string& name);
    // Why the last open() failed, so that a search can tell the operator about a port this
    // account may not use instead of passing it over in silence.
    enum class OpenFailure { None, Absent, InUse, AccessDenied, NotSerial, Other };
    OpenFailure openFailure() const { return m_openFailure; }
    // Aborts pending reads, restores the settings found at open and closes. No-op when closed.
    void close();
    bool isOpen() const;

    // Writes all bytes; returns the count written, less when the line failed, made no progress
    // for kWriteStallMs, or `stop` was set meanwhile.
    size_t write(const uint8_t* data, size_t n, const StopToken& stop = StopToken::never());

    // Waits up to waitMs for input and returns as soon as there is some, with what has arrived
    // (at most cap bytes); 0 when nothing came. -1 when the line is closed or failed; the wait
    // is then sat out, so that a caller polling a dead line does not spin.
    long read(uint8_t* buf, size_t cap, int waitMs);

    // Drops input that has arrived but was not read.
    void discardInput();

    static constexpr int kReadWindowMs = 10;
    static constexpr int kWriteStallMs = 2000;

private:
    struct Impl;
    Impl* d;
    OpenFailure m_openFailure = OpenFailure::None;
};
