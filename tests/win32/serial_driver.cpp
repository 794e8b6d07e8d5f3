// Drives the Win32 serial backend against a COM port whose far end is the Linux test harness.
// Plain C++ without Qt, cross-compiled with mingw and run under Wine.
//
// Lock-step with the harness over stdio: the driver prints "READY <step>" and waits for a "go"
// line while the harness puts that step's bytes on the line; it prints "SENT request" after a
// write so the harness can read and answer it. Every check prints "PASS <name>",
// "FAIL <name>: <why>" or "SKIP <name>: <why>"; the exit code is 0 when nothing failed.
//
// The backend's Win32 calls are recorded by patching this program's import table, so the flags
// and values it hands to the system can be compared with the expected ones.

#include "cdc_framing.h"
#include "serial_line.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void check(bool ok, const char* name, const std::string& why = std::string())
{
    g_failures += ok ? 0 : 1;
    std::printf(ok ? "PASS %s\n" : "FAIL %s: %s\n", name, why.c_str());
}

std::string format(const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string hex(const uint8_t* p, long n)
{
    std::string s;
    for (long i = 0; i < n; ++i)
        s += format("%02x", p[i]);
    return s;
}

double nowMs()
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

const char* wineVersion()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC fn = ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
    return fn ? reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(fn))() : nullptr;
}

bool waitForGo(const char* step)
{
    std::printf("READY %s\n", step);
    char line[64];
    return std::fgets(line, sizeof line, stdin) != nullptr && std::strncmp(line, "go", 2) == 0;
}

// ---- Recording of the backend's Win32 calls ----

std::vector<std::string> g_trace;
HANDLE g_port = INVALID_HANDLE_VALUE;
// Time-outs handed out as "found on the port" while set; Wine keeps no time-outs between opens.
const COMMTIMEOUTS* g_foundTimeouts = nullptr;
// Failures the hooks make up: a vanished USB device fails every read at once, a driver refuses
// the time-outs, or takes a write in pieces.
bool g_failReads = false;
bool g_refuseTimeouts = false;
DWORD g_writePiece = 0;
int g_readCalls = 0;

decltype(&CreateFileA) realCreateFileA;
decltype(&GetCommTimeouts) realGetCommTimeouts;
decltype(&SetCommTimeouts) realSetCommTimeouts;
decltype(&GetCommState) realGetCommState;
decltype(&BuildCommDCBA) realBuildCommDCBA;
decltype(&SetCommState) realSetCommState;
decltype(&PurgeComm) realPurgeComm;
decltype(&CloseHandle) realCloseHandle;
decltype(&ReadFile) realReadFile;
decltype(&WriteFile) realWriteFile;

std::string timeoutsText(const COMMTIMEOUTS& t)
{
    return format("%lu %lu %lu %lu %lu", t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
}

const char* who(HANDLE h)
{
    return h == g_port ? "port" : "other";
}

HANDLE WINAPI hookCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ)
{
    HANDLE h = realCreateFileA(path, access, share, sa, disposition, flags, templ);
    g_trace.push_back(format("CreateFileA %s access=%lx share=%lx sa=%d disposition=%lu flags=%lx template=%d",
                             path, access, share, sa != nullptr, disposition, flags, templ != nullptr));
    if (h != INVALID_HANDLE_VALUE)
        g_port = h;
    return h;
}

BOOL WINAPI hookGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    const BOOL ok = realGetCommTimeouts(h, t);
    if (ok && g_foundTimeouts)
        *t = *g_foundTimeouts;
    g_trace.push_back(format("GetCommTimeouts %s", who(h)));
    return ok;
}

BOOL WINAPI hookSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    g_trace.push_back(format("SetCommTimeouts %s %s", who(h), timeoutsText(*t).c_str()));
    if (g_refuseTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return realSetCommTimeouts(h, t);
}

BOOL WINAPI hookGetCommState(HANDLE h, LPDCB d)
{
    g_trace.push_back(format("GetCommState %s len=%lu", who(h), d->DCBlength));
    return realGetCommState(h, d);
}

BOOL WINAPI hookBuildCommDCBA(LPCSTR mode, LPDCB d)
{
    g_trace.push_back(format("BuildCommDCBA \"%s\" binary=%u dtr=%u eof=%02x", mode, d->fBinary, d->fDtrControl,
                             static_cast<uint8_t>(d->EofChar)));
    return realBuildCommDCBA(mode, d);
}

BOOL WINAPI hookSetCommState(HANDLE h, LPDCB d)
{
    g_trace.push_back(format("SetCommState %s len=%lu baud=%lu bits=%u parity=%u stop=%u binary=%u dtr=%u "
                             "rts=%u eof=%02x cts=%u dsr=%u outx=%u inx=%u",
                             who(h), d->DCBlength, d->BaudRate, d->ByteSize, d->Parity, d->StopBits,
                             d->fBinary, d->fDtrControl, d->fRtsControl, static_cast<uint8_t>(d->EofChar),
                             d->fOutxCtsFlow, d->fOutxDsrFlow, d->fOutX, d->fInX));
    return realSetCommState(h, d);
}

BOOL WINAPI hookPurgeComm(HANDLE h, DWORD flags)
{
    g_trace.push_back(format("PurgeComm %s %lx", who(h), flags));
    return realPurgeComm(h, flags);
}

BOOL WINAPI hookCloseHandle(HANDLE h)
{
    if (h == g_port) {
        g_trace.push_back("CloseHandle port");
        g_port = INVALID_HANDLE_VALUE;
    }
    return realCloseHandle(h);
}

BOOL WINAPI hookReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED ov)
{
    if (h == g_port) {
        ++g_readCalls;
        if (g_failReads) {
            *got = 0;
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return realReadFile(h, buf, n, got, ov);
}

BOOL WINAPI hookWriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov)
{
    return realWriteFile(h, buf, h == g_port && g_writePiece && n > g_writePiece ? g_writePiece : n, done, ov);
}

// Points this program's import of kernel32!func at hook and keeps the previous target in real;
// false when the program does not import func.
template <typename Fn>
bool patchImport(const char* func, Fn hook, Fn& real)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "kernel32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                || std::strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                               func) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            real = reinterpret_cast<Fn>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

bool installHooks()
{
    return patchImport("CreateFileA", &hookCreateFileA, realCreateFileA)
        && patchImport("GetCommTimeouts", &hookGetCommTimeouts, realGetCommTimeouts)
        && patchImport("SetCommTimeouts", &hookSetCommTimeouts, realSetCommTimeouts)
        && patchImport("GetCommState", &hookGetCommState, realGetCommState)
        && patchImport("BuildCommDCBA", &hookBuildCommDCBA, realBuildCommDCBA)
        && patchImport("SetCommState", &hookSetCommState, realSetCommState)
        && patchImport("PurgeComm", &hookPurgeComm, realPurgeComm)
        && patchImport("CloseHandle", &hookCloseHandle, realCloseHandle)
        && patchImport("ReadFile", &hookReadFile, realReadFile)
        && patchImport("WriteFile", &hookWriteFile, realWriteFile);
}

void checkTrace(const char* name, const std::vector<std::string>& expected)
{
    std::string why;
    for (size_t i = 0; i < expected.size() || i < g_trace.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "(nothing)";
        const std::string got = i < g_trace.size() ? g_trace[i] : "(nothing)";
        if (want != got)
            why += format("\n  call %u: want [%s]\n          got  [%s]", unsigned(i), want.c_str(), got.c_str());
    }
    check(why.empty(), name, why);
    g_trace.clear();
}

// ---- The checks ----

HANDLE openRaw(const std::string& path)
{
    return realCreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct TimedRead
{
    long count;
    double ms;
    int calls;  // ReadFile calls the read made
};

TimedRead timedRead(SerialLine& line, uint8_t* buf, size_t cap)
{
    g_readCalls = 0;
    const double t0 = nowMs();
    const long n = line.read(buf, cap, SerialLine::kReadWindowMs);
    return {n, nowMs() - t0, g_readCalls};
}

// The harness queues each step's bytes before it says go, so what a read returns does not hang
// on timing: one ReadFile takes all that is queued, up to the cap.
void readCases(SerialLine& line)
{
    static uint8_t buf[4096];

    if (waitForGo("two-frames")) {
        const TimedRead r = timedRead(line, buf, 2048);
        check(hex(buf, r.count) == "02000400c002000401c0" && r.calls == 1, "read two frames",
              format("got %s in %d ReadFile calls", hex(buf, r.count).c_str(), r.calls));
    }

    if (waitForGo("over-cap")) {
        const TimedRead first = timedRead(line, buf, 2048);
        bool all55 = first.count == 2048 && first.calls == 1;
        for (long i = 0; all55 && i < first.count; ++i)
            all55 = buf[i] == 0x55;
        check(all55, "read stops at the cap", format("count %ld in %d ReadFile calls", first.count, first.calls));
        const TimedRead rest = timedRead(line, buf, 2048);
        check(rest.count == 952 && rest.ms >= 10.0, "read without END takes the window",
              format("count %ld after %.2f ms", rest.count, rest.ms));
    }

    if (waitForGo("small-cap")) {
        const TimedRead first = timedRead(line, buf, 4);
        const std::string a = hex(buf, first.count);
        const TimedRead second = timedRead(line, buf, 2048);
        const std::string b = hex(buf, second.count);
        check(a == "06000311" && b == "223344c0" && first.calls == 1 && second.calls == 1,
              "read honours a small cap",
              format("got [%s] [%s] in %d and %d ReadFile calls", a.c_str(), b.c_str(), first.calls, second.calls));
    }

    if (waitForGo("silence")) {
        const TimedRead r = timedRead(line, buf, 2048);
        check(r.count == 0 && r.ms >= 10.0 && r.ms < 2000.0, "silent line returns nothing after the window",
              format("count %ld after %.2f ms", r.count, r.ms));
    }

    g_failReads = true;
    const TimedRead failed = timedRead(line, buf, 2048);
    g_failReads = false;
    check(failed.count == -1 && failed.calls == 1 && failed.ms >= 10.0, "failed read takes the window",
          format("count %ld after %.2f ms in %d ReadFile calls", failed.count, failed.ms, failed.calls));
}

void roundTrip(SerialLine& line)
{
    uint8_t frame[cdc::kMaxEncoded];
    const uint8_t payload[] = {0xC0, 0xDB, 0x01};
    const size_t n = cdc::encodeFrame(frame, 0x05, payload, sizeof payload);
    g_writePiece = 4;
    const size_t written = line.write(frame, n);
    g_writePiece = 0;
    check(written == n, "write request in pieces", format("wrote %u of %u", unsigned(written), unsigned(n)));
    std::printf("SENT request\n");

    // Poll as the command exchange does: read until a read brings the END byte.
    uint8_t got[4096];
    long have = 0;
    const double deadline = nowMs() + 5000.0;
    while (nowMs() < deadline && (have == 0 || got[have - 1] != cdc::kEnd) && have < 2048) {
        const long r = line.read(got + have, 2048, SerialLine::kReadWindowMs);
        if (r < 0)
            break;
        have += r;
    }
    check(hex(got, have) == "0600055631dbdcdbdd00c0", "response bytes", hex(got, have));

    uint8_t decoded[64];
    size_t count = size_t(have);
    const bool bad = cdc::unescapeFrame(decoded, sizeof decoded, got, count);
    check(!bad && hex(decoded, long(count)) == "0600055631c0db00", "response decodes",
          bad ? std::string("decode failed") : hex(decoded, long(count)));
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        std::printf("usage: serial_driver COMn\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::string path = "\\\\.\\" + name;
    const std::string createCall =
        "CreateFileA " + path + " access=c0000000 share=0 sa=0 disposition=3 flags=0 template=0";
    if (!installHooks()) {
        check(false, "hook Win32 calls", "an import was not found");
        return 1;
    }

    // Distinctive time-outs on the port before the backend sees it; where the platform forgets
    // them between opens, the recorder reports them as found instead.
    const COMMTIMEOUTS before = {7, 11, 13, 17, 19};
    const auto timeoutsOnPort = [&] {
        COMMTIMEOUTS now{};
        HANDLE raw = openRaw(path);
        const bool opened = raw != INVALID_HANDLE_VALUE;
        realGetCommTimeouts(raw, &now);
        realCloseHandle(raw);
        return opened ? timeoutsText(now) : std::string("not opened");
    };
    {
        HANDLE raw = openRaw(path);
        COMMTIMEOUTS t = before;
        realSetCommTimeouts(raw, &t);
        realCloseHandle(raw);
    }
    const bool keptAcrossOpens = timeoutsOnPort() == timeoutsText(before);
    g_foundTimeouts = keptAcrossOpens ? nullptr : &before;
    g_trace.clear();

    SerialLine line;
    check(line.open(name) && line.isOpen(), "open");
    checkTrace("open calls",
               {createCall, "GetCommTimeouts port", "SetCommTimeouts port 4294967295 4294967295 1 0 2000",
                "GetCommState port len=28", "BuildCommDCBA \"115200,N,8,1\" binary=1 dtr=1 eof=c0",
                "SetCommState port len=28 baud=115200 bits=8 parity=0 stop=0 binary=1 dtr=1 rts=1 eof=c0 cts=0 "
                "dsr=0 outx=0 inx=0"});

    check(!line.open(name), "open on an open line fails");
    checkTrace("open on an open line makes no calls", {});
    {
        const HANDLE first = g_port;
        SerialLine other;
        if (other.open(name) && wineVersion())
            std::printf("SKIP second open of the port fails: Wine opened the port twice\n");
        else
            check(!other.isOpen(), "second open of the port fails", "opened twice");
        other.close();
        g_trace.clear();
        g_port = first;
    }

    roundTrip(line);
    readCases(line);

    line.close();
    check(!line.isOpen(), "closed");
    checkTrace("close calls", {"PurgeComm port 2", "SetCommTimeouts port 7 11 13 17 19", "CloseHandle port"});
    uint8_t buf[16];
    const TimedRead r = timedRead(line, buf, sizeof buf);
    check(r.count == -1 && r.ms >= 10.0 && line.write(buf, 4) == 0, "closed line reads and writes nothing",
          format("read %ld after %.2f ms", r.count, r.ms));

    SerialLine refused;
    g_refuseTimeouts = true;
    check(!refused.open(name) && !refused.isOpen(), "open fails when the port takes no time-outs");
    g_refuseTimeouts = false;
    checkTrace("a refused open closes its handle", {createCall, "GetCommTimeouts port",
                                                    "SetCommTimeouts port 4294967295 4294967295 1 0 2000",
                                                    "CloseHandle port"});

    const std::string after = timeoutsOnPort();
    check(after != "not opened", "port free after close");
    if (keptAcrossOpens)
        check(after == timeoutsText(before), "time-outs restored on the port", after);
    else
        std::printf("SKIP time-outs restored on the port: this platform keeps no time-outs between opens; "
                    "the close calls above show the restore\n");
    std::printf("RESULT %s\n", g_failures == 0 ? "PASS" : "FAIL");
    return g_failures == 0 ? 0 : 1;
}
