// Drives the Win32 serial backend against a COM port whose far end is the Linux test harness.
// Plain C++ without Qt, cross-compiled with mingw and run under Wine.
//
// The far end records the driver's requests (bytes up to an END byte) and answers each empty
// one with the bytes of the next read step. Every check prints "PASS <name>" or "FAIL <name>:
// <why>"; the exit code is 0 when nothing failed.
//
// The backend's Win32 calls are recorded by patching this program's import table, so the flags
// and values it hands to the system can be compared with the expected ones.

#include "cdc_framing.h"
#include "serial_line.h"
#include "serial_registry_watch.h"

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

// ---- Recording of the backend's Win32 calls ----

std::vector<std::string> g_trace;
HANDLE g_port = INVALID_HANDLE_VALUE;
// Handed out as found on the port: Wine keeps no time-outs between opens, so the close has to
// put back what the recorder made up.
const COMMTIMEOUTS kFoundTimeouts = {7, 11, 13, 17, 19};
// Failures the hooks make up: a vanished USB device fails every read at once, a driver completes
// every read at once with nothing, refuses the time-outs, or takes a write in pieces (and the
// run is stopped after a piece).
bool g_failReads = false;
bool g_emptyReads = false;
bool g_refuseTimeouts = false;
DWORD g_writePiece = 0;
StopToken* g_stopAfterPiece = nullptr;
int g_readCalls = 0;

decltype(&CreateFileA) realCreateFileA;
decltype(&GetCommTimeouts) realGetCommTimeouts;
decltype(&SetCommTimeouts) realSetCommTimeouts;
decltype(&SetCommState) realSetCommState;
decltype(&PurgeComm) realPurgeComm;
decltype(&CloseHandle) realCloseHandle;
decltype(&ReadFile) realReadFile;
decltype(&WriteFile) realWriteFile;
decltype(&RegNotifyChangeKeyValue) realRegNotifyChangeKeyValue;
bool g_refuseNotify = false;
std::string g_notifyCall;

const char* who(HANDLE h)
{
    return h == g_port ? "port" : "other";
}

HANDLE WINAPI hookCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ)
{
    HANDLE h = realCreateFileA(path, access, share, sa, disposition, flags, templ);
    g_trace.push_back(
        format("CreateFileA %s access=%lx share=%lx sa=%d disposition=%lu flags=%lx template=%d",
               path, access, share, sa != nullptr, disposition, flags, templ != nullptr));
    if (h != INVALID_HANDLE_VALUE)
        g_port = h;
    return h;
}

BOOL WINAPI hookGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    const BOOL ok = realGetCommTimeouts(h, t);
    if (ok)
        *t = kFoundTimeouts;
    g_trace.push_back(format("GetCommTimeouts %s", who(h)));
    return ok;
}

BOOL WINAPI hookSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    g_trace.push_back(format("SetCommTimeouts %s %lu %lu %lu %lu %lu", who(h),
                             t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                             t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                             t->WriteTotalTimeoutConstant));
    if (g_refuseTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return realSetCommTimeouts(h, t);
}

BOOL WINAPI hookSetCommState(HANDLE h, LPDCB d)
{
    g_trace.push_back(
        format("SetCommState %s len=%lu baud=%lu bits=%u parity=%u stop=%u binary=%u dtr=%u "
               "rts=%u eof=%02x cts=%u dsr=%u outx=%u inx=%u",
               who(h), d->DCBlength, d->BaudRate, d->ByteSize, d->Parity, d->StopBits, d->fBinary,
               d->fDtrControl, d->fRtsControl, static_cast<uint8_t>(d->EofChar), d->fOutxCtsFlow,
               d->fOutxDsrFlow, d->fOutX, d->fInX));
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
        if (g_emptyReads) {
            *got = 0;
            return TRUE;
        }
    }
    return realReadFile(h, buf, n, got, ov);
}

BOOL WINAPI hookWriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov)
{
    const BOOL ok = realWriteFile(
        h, buf, h == g_port && g_writePiece && n > g_writePiece ? g_writePiece : n, done, ov);
    if (h == g_port && g_stopAfterPiece)
        g_stopAfterPiece->stop();
    return ok;
}

LSTATUS WINAPI hookRegNotifyChangeKeyValue(HKEY key, BOOL subtree, DWORD filter, HANDLE event,
                                           BOOL async)
{
    g_notifyCall =
        format("subtree=%d filter=%lx event=%d async=%d", subtree, filter, event != nullptr, async);
    return g_refuseNotify ? ERROR_INVALID_PARAMETER
                          : realRegNotifyChangeKeyValue(key, subtree, filter, event, async);
}

// Points this program's import of dll!func at hook and keeps the previous target in real; false
// when the program does not import func.
template <typename Fn>
bool patchImport(const char* func, Fn hook, Fn& real, const char* dll = "kernel32.dll")
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
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
    if (!patchImport("RegNotifyChangeKeyValue", &hookRegNotifyChangeKeyValue,
                     realRegNotifyChangeKeyValue, "advapi32.dll"))
        return false;
    return patchImport("CreateFileA", &hookCreateFileA, realCreateFileA) &&
           patchImport("GetCommTimeouts", &hookGetCommTimeouts, realGetCommTimeouts) &&
           patchImport("SetCommTimeouts", &hookSetCommTimeouts, realSetCommTimeouts) &&
           patchImport("SetCommState", &hookSetCommState, realSetCommState) &&
           patchImport("PurgeComm", &hookPurgeComm, realPurgeComm) &&
           patchImport("CloseHandle", &hookCloseHandle, realCloseHandle) &&
           patchImport("ReadFile", &hookReadFile, realReadFile) &&
           patchImport("WriteFile", &hookWriteFile, realWriteFile);
}

void checkTrace(const char* name, const std::vector<std::string>& expected)
{
    std::string why;
    for (size_t i = 0; i < expected.size() || i < g_trace.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "(nothing)";
        const std::string got = i < g_trace.size() ? g_trace[i] : "(nothing)";
        if (want != got)
            why += format("\n  call %u: want [%s]\n          got  [%s]", unsigned(i), want.c_str(),
                          got.c_str());
    }
    check(why.empty(), name, why);
    g_trace.clear();
}

// ---- The checks ----

struct TimedRead
{
    long count;
    double ms;
    int calls; // ReadFile calls the read made
};

TimedRead timedRead(SerialLine& line, uint8_t* buf, size_t cap, int waitMs)
{
    g_readCalls = 0;
    const double t0 = nowMs();
    const long n = line.read(buf, cap, waitMs);
    return {n, nowMs() - t0, g_readCalls};
}

// The request goes out in pieces; a stop stops it between two.
void writeInPieces(SerialLine& line)
{
    uint8_t frame[cdc::kMaxEncoded];
    const uint8_t payload[] = {0xC0, 0xDB, 0x01};
    const size_t n = cdc::encodeFrame(frame, 0x05, payload, sizeof payload);
    StopToken stop;
    g_writePiece = 4;
    g_stopAfterPiece = &stop;
    const size_t first = line.write(frame, n, stop);
    g_stopAfterPiece = nullptr;
    const size_t rest = line.write(frame + first, n - first);
    g_writePiece = 0;
    check(first == 4 && rest == n - 4, "write in pieces stops when the run is stopped",
          format("wrote %u, then %u of %u", unsigned(first), unsigned(rest), unsigned(n)));
}

// Asks the far end for a step's bytes and waits until all n have arrived, so that what a read
// returns does not hang on timing: one ReadFile takes all that is queued, up to the cap.
bool askFor(SerialLine& line, DWORD n)
{
    line.write(&cdc::kEnd, 1);
    COMSTAT stat{};
    DWORD errors = 0;
    for (const double end = nowMs() + 5000; nowMs() < end; Sleep(1)) {
        if (ClearCommError(g_port, &errors, &stat) && stat.cbInQue >= n)
            return true;
    }
    return false;
}

void readCases(SerialLine& line)
{
    static uint8_t buf[4096];

    if (askFor(line, 12)) {
        const TimedRead r = timedRead(line, buf, sizeof buf, 1000);
        check(hex(buf, r.count) == "02000400c002000401c00200" && r.calls == 1,
              "read returns at once with all that is there",
              format("got %s in %d ReadFile calls", hex(buf, r.count).c_str(), r.calls));
    }

    if (askFor(line, 8)) {
        const TimedRead first = timedRead(line, buf, 4, 1000);
        const std::string a = hex(buf, first.count);
        const TimedRead second = timedRead(line, buf, sizeof buf, 1000);
        const std::string b = hex(buf, second.count);
        check(a == "06000311" && b == "223344c0" && first.calls == 1 && second.calls == 1,
              "read honours a small cap",
              format("got [%s] [%s] in %d and %d ReadFile calls", a.c_str(), b.c_str(), first.calls,
                     second.calls));
    }

    if (askFor(line, 5)) {
        line.discardInput();
        checkTrace("discard calls", {"PurgeComm port 8"});
    }

    // The stale bytes are gone, so the line is silent: as the port was set up, then on a driver
    // that completes every ReadFile at once with nothing. Either way a silent line costs at most
    // about one ReadFile per millisecond.
    for (const bool atOnce : {false, true}) {
        g_emptyReads = atOnce;
        const TimedRead r = timedRead(line, buf, sizeof buf, 100);
        check(r.count == 0 && r.ms >= 100.0 && r.calls <= 200,
              atOnce ? "silent line on a driver that does not wait" : "silent line returns nothing",
              format("count %ld after %.2f ms in %d ReadFile calls", r.count, r.ms, r.calls));
    }
    g_emptyReads = false;

    g_failReads = true;
    const TimedRead failed = timedRead(line, buf, sizeof buf, 10);
    g_failReads = false;
    check(failed.count == -1 && failed.calls == 1 && failed.ms >= 10.0,
          "failed read sits out the wait",
          format("count %ld after %.2f ms in %d ReadFile calls", failed.count, failed.ms,
                 failed.calls));
}

const wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Adds or removes the value a plugged USB CDC port leaves, making the key if it is missing.
void setTestPort(bool present)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                    nullptr, &key, nullptr);
    const wchar_t port[] = L"COM77";
    if (present)
        RegSetValueExW(key, L"\\Device\\VeltoraTest0", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(port), sizeof port);
    else
        RegDeleteValueW(key, L"\\Device\\VeltoraTest0");
    RegCloseKey(key);
}

// '1' as soon as the watch says changed, '0' when it kept saying unchanged for waitMs.
char changedWithin(SerialRegistryWatch& watch, int waitMs)
{
    const double end = nowMs() + waitMs;
    for (; nowMs() < end; Sleep(5))
        if (watch.changed())
            return '1';
    return '0';
}

// Changed at first, quiet while nothing happens, changed once when a port comes and once when it
// goes; also on a machine that had no serial port yet, where the key itself is missing.
void registryWatchCases()
{
    for (const bool keyMissing : {false, true}) {
        const LSTATUS deleted =
            keyMissing ? RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialComm) : ERROR_SUCCESS;
        SerialRegistryWatch watch;
        std::string seen(1, watch.changed() ? '1' : '0');
        seen += changedWithin(watch, 300);
        for (const bool present : {true, false}) {
            setTestPort(present);
            seen += changedWithin(watch, 2000);
            seen += changedWithin(watch, 300);
        }
        check(seen == "101010" && deleted == ERROR_SUCCESS,
              keyMissing ? "registry watch sees the key appear"
                         : "registry watch sees a port come and go",
              format("seen %s, key deletion %ld", seen.c_str(), deleted));
    }
    // Thread-agnostic, so the watch outlives the run thread that armed it.
    check(g_notifyCall == "subtree=1 filter=10000005 event=1 async=1",
          "registry watch arms for any thread", g_notifyCall);

    g_refuseNotify = true;
    SerialRegistryWatch refused;
    const bool always = refused.changed() && refused.changed() && refused.changed();
    g_refuseNotify = false;
    check(always, "registry watch without notifications always says changed");
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

    SerialLine line;
    check(line.open(name) && line.isOpen(), "open");
    checkTrace("open calls", {createCall, "GetCommTimeouts port",
                              "SetCommTimeouts port 4294967295 4294967295 1 0 2000",
                              "SetCommState port len=28 baud=115200 bits=8 parity=0 stop=0 "
                              "binary=1 dtr=1 rts=1 eof=c0 cts=0 "
                              "dsr=0 outx=0 inx=0"});

    check(!line.open(name), "open on an open line fails");
    checkTrace("open on an open line makes no calls", {});

    writeInPieces(line);
    readCases(line);

    line.close();
    check(!line.isOpen(), "closed");
    checkTrace("close calls",
               {"PurgeComm port 2", "SetCommTimeouts port 7 11 13 17 19", "CloseHandle port"});

    SerialLine refused;
    g_refuseTimeouts = true;
    check(!refused.open(name) && !refused.isOpen(), "open fails when the port takes no time-outs");
    g_refuseTimeouts = false;
    checkTrace("a refused open closes its handle",
               {createCall, "GetCommTimeouts port",
                "SetCommTimeouts port 4294967295 4294967295 1 0 2000", "CloseHandle port"});

    registryWatchCases();

    std::printf("RESULT %s\n", g_failures == 0 ? "PASS" : "FAIL");
    return g_failures == 0 ? 0 : 1;
}
