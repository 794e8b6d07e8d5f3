// SerialLine on the Win32 communications API; free of Qt, so a bare mingw cross compiler builds it.
#include "serial_line.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

namespace {

// While a read is waiting for its first byte, each ReadFile blocks at most this long, so
// the read window is overrun by no more than one such wait.
constexpr DWORD kFirstByteWaitMs = 1;

LONGLONG tickRate()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart / 1000 > 0 ? f.QuadPart / 1000 : 1;
}

LONGLONG nowTicks()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// A COM port that another program holds open answers ERROR_ACCESS_DENIED as well, so the
// operator's line for it names both causes.
SerialLine::OpenFailure openFailureOf(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return SerialLine::OpenFailure::AccessDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return SerialLine::OpenFailure::Absent;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return SerialLine::OpenFailure::InUse;
    default:
        return SerialLine::OpenFailure::Other;
    }
}

} // namespace

struct SerialLine::Impl
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS savedTimeouts{};
    LONGLONG ticksPerMs = tickRate();
};

SerialLine::SerialLine() : d(new Impl) {}

SerialLine::~SerialLine()
{
    close();
    delete d;
}

bool SerialLine::isOpen() const
{
    return d->handle != INVALID_HANDLE_VALUE;
}

bool SerialLine::open(const std::string& name)
{
    if (isOpen()) {
        m_openFailure = OpenFailure::InUse;
        return false;
    }
    const std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_openFailure = openFailureOf(GetLastError());
        return false;
    }
    m_openFailure = OpenFailure::NotSerial;

    // Without working time-outs a read could block for ever, so a handle that does not take
    // them is no serial line for us.
    COMMTIMEOUTS saved{};
    if (!GetCommTimeouts(h, &saved)) {
        CloseHandle(h);
        return false;
    }
    // Interval and multiplier both MAXDWORD: ReadFile returns at once with what is buffered,
    // or with the first byte to arrive within the constant. read() loops for the window.
    COMMTIMEOUTS line{};
    line.ReadIntervalTimeout = MAXDWORD;
    line.ReadTotalTimeoutMultiplier = MAXDWORD;
    line.ReadTotalTimeoutConstant = kFirstByteWaitMs;
    line.WriteTotalTimeoutMultiplier = 0;
    line.WriteTotalTimeoutConstant = kWriteStallMs;
    if (!SetCommTimeouts(h, &line)) {
        CloseHandle(h);
        return false;
    }

    // A USB CDC port ignores most of this, and some drivers refuse parts of it; the line
    // works either way, so these results are not checked.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    // Left set by an earlier program, one line error would fail every later read until cleared.
    dcb.fAbortOnError = FALSE;
    dcb.EofChar = static_cast<char>(0xC0);  // the frames' END byte
    BuildCommDCBA("115200,N,8,1", &dcb);
    SetCommState(h, &dcb);

    d->handle = h;
    d->savedTimeouts = saved;
    m_openFailure = OpenFailure::None;
    return true;
}

void SerialLine::close()
{
    if (!isOpen())
        return;
    PurgeComm(d->handle, PURGE_RXABORT);
    SetCommTimeouts(d->handle, &d->savedTimeouts);
    CloseHandle(d->handle);
    d->handle = INVALID_HANDLE_VALUE;
}

size_t SerialLine::write(const uint8_t* data, size_t n, const StopToken& stop)
{
    if (!isOpen())
        return 0;
    size_t done = 0;
    while (done < n) {
        if (stop.stopped())
            break;
        const DWORD chunk = static_cast<DWORD>(n - done > MAXDWORD ? MAXDWORD : n - done);
        DWORD written = 0;
        // Each call gets kWriteStallMs (WriteTotalTimeoutConstant); a call that timed out after
        // some progress is followed by another, so only a write that stalls completely stops.
        const BOOL ok = WriteFile(d->handle, data + done, chunk, &written, nullptr);
        done += written;
        if (!ok || written == 0)
            break;
    }
    return done;
}

long SerialLine::read(uint8_t* buf, size_t cap, int waitMs)
{
    const LONGLONG start = nowTicks();
    const LONGLONG window = static_cast<LONGLONG>(waitMs > 0 ? waitMs : 0) * d->ticksPerMs;
    // A closed line, or a vanished device that fails every call at once, still takes the
    // wait, so that callers polling the line do not spin.
    const auto sitOut = [&] {
        const LONGLONG left = window - (nowTicks() - start);
        if (left > 0)
            Sleep(static_cast<DWORD>(left / d->ticksPerMs + 1));
    };
    if (!isOpen()) {
        sitOut();
        return -1;
    }
    const DWORD want = static_cast<DWORD>(cap > MAXDWORD ? MAXDWORD : cap);
    for (;;) {
        const LONGLONG callStart = nowTicks();
        DWORD n = 0;
        if (!ReadFile(d->handle, buf, want, &n, nullptr)) {
            sitOut();
            return -1;
        }
        if (n > 0)
            return static_cast<long>(n);
        const LONGLONG now = nowTicks();
        if (now - start >= window)
            return 0;
        // A driver that ignores the first-byte wait and completes at once must not make this
        // loop spin: at most about one ReadFile per millisecond.
        if (now - callStart < d->ticksPerMs)
            Sleep(1);
    }
}

void SerialLine::discardInput()
{
    if (isOpen())
        PurgeComm(d->handle, PURGE_RXCLEAR);
}
