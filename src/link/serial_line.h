#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// An exclusive, raw 115200 8N1 serial port; each platform backend lives in its own file.
// Kept free of Qt and of OS handle types so the Win32 backend builds with a bare cross compiler.
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
    // Aborts pending reads, restores the settings found at open and closes. No-op when closed.
    void close();
    bool isOpen() const;

    // Blocking write of all bytes; returns the count written (less on failure).
    size_t write(const uint8_t* data, size_t n);

    // Returns as soon as the bytes read so far hold an END byte (0xC0), or cap bytes have
    // arrived, or about kReadWindowMs have passed since the call began; returns the count
    // read (possibly 0), or -1 when the line failed.
    long read(uint8_t* buf, size_t cap);

    static constexpr int kReadWindowMs = 10;

private:
    struct Impl;
    Impl* d;
};
