#include "devsim.h"

#include "cdc_commands.h"
#include "cdc_framing.h"
#include "device_key.h"
#include "ports_file.h"
#include "sim_pty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace devsim {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Result bytes of the file commands.
constexpr uint8_t kOk = 0;
constexpr uint8_t kNothingOpen = 1;    // no such file, or no file open for this command
constexpr uint8_t kBadOffset = 2;      // chunk not at the end of what was written so far
constexpr uint8_t kMalformed = 3;      // payload length or layout wrong
constexpr uint8_t kSizeMismatch = 4;   // more or fewer bytes than SendStartESP announced
constexpr uint8_t kHostError = 5;      // bad path or the host folder refused

constexpr size_t kMaxReadChunk = cdc::kBigArea - cdc::kHeader;  // the tool's big area less the header
constexpr size_t kDefaultOversize = 1100;   // decoded bytes: beyond both response areas

std::string toHex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0x0F];
    }
    return s;
}

// Appends a little-endian field.
void put16(Bytes& b, uint16_t v)
{
    b.resize(b.size() + 2);
    cdc::put16(&b[b.size() - 2], v);
}
void put32(Bytes& b, uint32_t v)
{
    b.resize(b.size() + 4);
    cdc::put32(&b[b.size() - 4], v);
}
void put64(Bytes& b, uint64_t v)
{
    b.resize(b.size() + 8);
    cdc::put64(&b[b.size() - 8], v);
}

// A fixed-width name field: up to its first NUL, never beyond the width.
std::string nameField(const uint8_t* p, size_t width)
{
    size_t n = 0;
    while (n < width && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Device paths stay inside the device's file system: relative, no "..", naming a file.
bool safeDevicePath(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.back() == '/')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    return true;
}

bool makeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeParents(const std::string& filePath)
{
    const size_t slash = filePath.rfind('/');
    return slash == std::string::npos || slash == 0 || makeDirs(filePath.substr(0, slash));
}

Bytes encode(uint8_t command, const Bytes& payload)
{
    Bytes out(2 * (payload.size() + 3) + 1);
    out.resize(cdc::encodeFrame(out.data(), command, payload.data(), payload.size()));
    return out;
}

struct Reply
{
    enum class After { Nothing, Reboot, LeaveBootloader, Vanish };
    bool answer = false;
    uint8_t command = 0;
    Bytes payload;
    Fault fault;
    After after = After::Nothing;
};

} // namespace

struct Device::Impl
{
    explicit Impl(const Config& c)
        : cfg(c),
          linkPath(c.dir + "/" + c.linkName),
          triggerPath(c.resetTriggerPath.empty() ? linkPath + ".reset" : c.resetTriggerPath),
          bootloader(c.bootloader),
          deviceId(c.deviceId)
    {
    }

    const Config cfg;
    const std::string linkPath;
    const std::string triggerPath;

    // Owned by the serving thread while it runs, by the caller otherwise.
    SimPty pty;
    Bytes rx;
    unsigned generation = 0;  // bumped by every unplug, so a read loop notices the pty is gone
    int writeFd = -1;
    uint32_t writeSize = 0;
    uint32_t written = 0;
    int readFd = -1;
    bool replugPending = false;
    Clock::time_point replugAt;
    Clock::time_point nextTriggerCheck;
    std::thread thread;
    bool running = false;
    int wake[2] = {-1, -1};
    FILE* transcriptFile = nullptr;
    std::mt19937 rng{cfg.seed};

    // Shared with the test's threads.
    mutable std::mutex m;
    mutable std::condition_variable cv;
    bool stopping = false;
    bool plugged = false;
    bool bootloader;
    uint64_t deviceId;
    Bytes publicKey;
    std::map<uint16_t, Bytes> parameters;
    std::map<uint8_t, Fault> faults;
    std::vector<Bytes> requests;
    int rebootCount = 0;
    int plugCount = 0;
    std::deque<std::function<void()>> tasks;

    // --- plumbing -------------------------------------------------------------------------

    void note(const std::string& line)  // m held
    {
        if (transcriptFile) {
            std::fputs(line.c_str(), transcriptFile);
            std::fputc('\n', transcriptFile);
            std::fflush(transcriptFile);
        }
    }

    void event(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m);
        note("# " + text);
    }

    // Sleeps, but returns early (false) when the device is being stopped.
    bool pause(int ms)
    {
        std::unique_lock<std::mutex> lock(m);
        return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    void wakeUp()
    {
        if (wake[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = ::write(wake[1], &byte, 1);
        }
    }

    // Runs fn on the serving thread (or here when none runs) and waits for it, bounded.
    void callSync(const std::function<void()>& fn)
    {
        if (!running) {
            fn();
            return;
        }
        auto done = std::make_shared<bool>(false);
        {
            std::lock_guard<std::mutex> lock(m);
            tasks.push_back([this, fn, done] {
                fn();
                std::lock_guard<std::mutex> inner(m);
                *done = true;
                cv.notify_all();
            });
        }
        wakeUp();
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return *done || stopping; });
    }

    void writeRaw(const Bytes& bytes)
    {
        if (!pty.isOpen() || bytes.empty())
            return;
        {
            std::lock_guard<std::mutex> lock(m);
            if (transcriptFile)  // the hex costs time on every exchange
                note("< " + toHex(bytes.data(), bytes.size()));
        }
        // As full-speed USB delivers it: packets of usbPacketBytes with a gap of up to
        // usbGapMaxUs between them, and, with cutGapMs, one pause at a random byte of the answer.
        const size_t packet = cfg.usbPacketBytes > 0 ? size_t(cfg.usbPacketBytes) : bytes.size();
        const size_t cut = cfg.cutGapMs > 0 && bytes.size() > 1
                               ? 1 + std::uniform_int_distribution<size_t>(0, bytes.size() - 2)(rng)
                               : 0;
        for (size_t at = 0; at < bytes.size();) {
            size_t n = std::min(packet, bytes.size() - at);
            if (cut > at && cut < at + n)
                n = cut - at;
            if (!pty.writeAll(bytes.data() + at, n, 1000))
                return;
            at += n;
            if (at == bytes.size())
                break;
            if (at == cut) {
                if (!pause(cfg.cutGapMs))
                    return;
            } else if (cfg.usbGapMaxUs > 0) {
                const int us = std::uniform_int_distribution<int>(0, cfg.usbGapMaxUs)(rng);
                std::this_thread::sleep_for(std::chrono::microseconds(us));
            }
        }
    }

    // Waits at least minMs, then until the tool has taken what the device wrote (at most maxMs).
    void waitTaken(int minMs, int maxMs)
    {
        if (!pause(minMs))
            return;
        const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
        while (pty.isOpen() && pty.pendingForTool() > 0 && Clock::now() < deadline) {
            if (!pause(1))
                return;
        }
    }

    // --- plugging -------------------------------------------------------------------------

    bool doPlug()
    {
        replugPending = false;
        if (pty.isOpen())
            return true;
        if (!pty.open()) {
            event("plug-in failed: no pseudo-terminal");
            return false;
        }
        if (!replaceSymlink(pty.slavePath(), linkPath) ||
            (!cfg.portsFile.empty() &&
             !addPortLine(cfg.portsFile, linkPath, cfg.vendorId, cfg.usbSerial, cfg.usbLocation))) {
            event("plug-in failed: " + linkPath);
            ::unlink(linkPath.c_str());
            pty.close();
            return false;
        }
        std::lock_guard<std::mutex> lock(m);
        plugged = true;
        ++plugCount;
        note("# plugged in " + linkPath + " -> " + pty.slavePath());
        return true;
    }

    void doUnplug()
    {
        replugPending = false;
        closeFiles();
        if (!pty.isOpen())
            return;
        {
            std::lock_guard<std::mutex> lock(m);
            plugged = false;
            note("# unplugged " + linkPath);
        }
        // The port leaves the listing before its node goes away, as a pulled cable does.
        if (!cfg.portsFile.empty())
            removePortLine(cfg.portsFile, linkPath);
        ::unlink(linkPath.c_str());
        pty.close();
        rx.clear();
        ++generation;
    }

    void replugAfter(int ms)
    {
        replugPending = true;
        replugAt = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    }

    void closeFiles()
    {
        if (writeFd >= 0)
            ::close(writeFd);
        if (readFd >= 0)
            ::close(readFd);
        writeFd = -1;
        readFd = -1;
    }

    void checkResetTrigger()
    {
        struct stat st {};
        if (::stat(triggerPath.c_str(), &st) != 0)
            return;
        event("reset by " + triggerPath);
        doUnplug();
        ::unlink(triggerPath.c_str());
        replugAfter(cfg.rebootDelayMs);
    }

    // --- serving --------------------------------------------------------------------------

    void serve()
    {
        uint8_t buf[4096];
        for (;;) {
            std::deque<std::function<void()>> todo;
            {
                std::lock_guard<std::mutex> lock(m);
                if (stopping)
                    return;
                todo.swap(tasks);
            }
            for (auto& task : todo)
                task();

            const auto now = Clock::now();
            if (replugPending && now >= replugAt)
                doPlug();
            if (now >= nextTriggerCheck) {
                checkResetTrigger();
                nextTriggerCheck = now + std::chrono::milliseconds(20);
            }

            int timeoutMs = 20;
            if (replugPending) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    replugAt - Clock::now());
                timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 20));
            }
            pollfd fds[2] = {{wake[0], POLLIN, 0}, {pty.master(), POLLIN, 0}};
            const nfds_t count = pty.isOpen() ? 2 : 1;
            if (::poll(fds, count, timeoutMs) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                while (::read(wake[0], buf, sizeof buf) > 0) {
                }
            }
            if (count == 2 && (fds[1].revents & POLLIN))
                readLine(buf, sizeof buf);
        }
    }

    void readLine(uint8_t* buf, size_t cap)
    {
        const unsigned gen = generation;
        for (;;) {
            const ssize_t n = ::read(pty.master(), buf, cap);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                // Bytes that never reach an END byte are line noise; do not let them pile up.
                if (rx.size() > 4 * cdc::kMaxEncoded)
                    rx.clear();
                rx.push_back(buf[i]);
                if (buf[i] != cdc::kEnd)
                    continue;
                Bytes raw;
                raw.swap(rx);
                handleRaw(raw);
                if (gen != generation || !pty.isOpen())
                    return;  // rebooted or vanished: the rest of the read went with the old port
            }
        }
    }

    void handleRaw(const Bytes& raw)
    {
        {
            std::lock_guard<std::mutex> lock(m);
            if (transcriptFile)  // the hex costs time on every exchange
                note("> " + toHex(raw.data(), raw.size()));
        }
        uint8_t frame[1024];
        size_t count = raw.size();
        if (cdc::unescapeFrame(frame, sizeof frame, raw.data(), count) || count < 3)
            return;
        // A frame whose length field disagrees with its bytes is not a request.
        if (cdc::get16(frame) != count - 2)
            return;
        const uint8_t command = frame[2];
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(m);
            requests.emplace_back(frame, frame + count);
            cv.notify_all();
            decide(command, frame + 3, count - 3, reply);
        }
        deliver(reply);
        finish(reply);
    }

    // The fault that applies to this request, counting it against the fault's budget. m held.
    Fault takeFault(uint8_t command)
    {
        auto it = faults.find(command);
        if (it == faults.end() || it->second.mode == ErrorMode::None || it->second.times == 0)
            return Fault {};
        Fault& fault = it->second;
        if (fault.mode == ErrorMode::VanishAfter) {
            if (command != cdc::WriteESP.code)
                return Fault {};
            if (fault.param > 0) {
                --fault.param;
                return Fault {};
            }
            // One vanishing per fault: plugged back in, the device answers again.
            const Fault applied = fault;
            faults.erase(it);
            return applied;
        }
        const Fault applied = fault;
        if (fault.times > 0 && --fault.times == 0)
            faults.erase(it);
        return applied;
    }

    void decide(uint8_t command, const uint8_t* p, size_t n, Reply& reply)  // m held
    {
        const Fault fault = takeFault(command);
        switch (fault.mode) {
        case ErrorMode::NoAnswer:
            return;
        case ErrorMode::VanishAfter:
            reply.after = Reply::After::Vanish;
            return;
        case ErrorMode::NonZeroResult:
            reply.answer = true;
            reply.command = command;
            reply.payload = {static_cast<uint8_t>(fault.param ? fault.param : 1)};
            return;
        default:
            break;
        }
        const bool bootloaderAnswers = command == cdc::GetVersion.code || command == cdc::QueryVersion.code
                                       || command == cdc::Reboot.code || command == cdc::LeaveBootloader.code;
        if (bootloader && !bootloaderAnswers)
            return;
        reply.answer = true;
        reply.command = command;
        reply.fault = fault;
        execute(command, p, n, reply);
    }

    void execute(uint8_t command, const uint8_t* p, size_t n, Reply& reply)  // m held
    {
        Bytes& out = reply.payload;
        switch (command) {
        case cdc::GetVersion.code:
        case cdc::QueryVersion.code: {
            const std::string& text = bootloader ? cfg.bootloaderVersion : cfg.firmwareVersion;
            out.assign(text.begin(), text.end());
            out.push_back(0);
            break;
        }
        case cdc::StartESP.code:
            out = {startWrite(p, n)};
            break;
        case cdc::WriteESP.code:
            out = {writeChunk(p, n)};
            break;
        case cdc::EndESP.code:
            out = {endWrite()};
            break;
        case cdc::DeleteESP.code:
            out = {deleteFile(p, n)};
            break;
        case cdc::SetDeviceID.code: {
            const uint64_t sent = cdc::requestFits(cdc::SetDeviceID, n) ? cdc::get64(p) : deviceId;
            if (cfg.keepsDeviceId)
                deviceId = sent;
            put64(out, cfg.deviceIdEcho ? *cfg.deviceIdEcho : sent);
            break;
        }
        case cdc::Reboot.code:
            reply.after = Reply::After::Reboot;
            break;
        case cdc::LeaveBootloader.code:
            if (bootloader)
                reply.after = Reply::After::LeaveBootloader;
            break;
        case cdc::GetMACs.code:
            out.assign(cfg.wifiMac, cfg.wifiMac + 6);
            out.insert(out.end(), cfg.ethernetMac, cfg.ethernetMac + 6);
            break;
        case cdc::GetDeviceID.code:
            put64(out, deviceId);
            break;
        case cdc::GetStatusWord.code:
            put32(out, cfg.statusWord);
            break;
        case cdc::GetParameter.code:
            if (cdc::requestFits(cdc::GetParameter, n)) {
                const uint16_t id = cdc::get16(p);
                if (id == cdc::kKeyParameter)
                    out = publicKey;  // empty until the key has been created
                else if (parameters.count(id))
                    out = parameters[id];
            }
            break;
        case cdc::SetParameter.code:
            out = {setParameter(p, n)};
            break;
        case cdc::GetInfoBlock.code:
            infoBlock(out);
            break;
        case cdc::GetRecord.code: {
            const bool fits = cdc::requestFits(cdc::GetRecord, n);
            record(fits ? cdc::get16(p) : 0, fits ? cdc::get16(p + 2) : 0, out);
            break;
        }
        case cdc::StartFileRead.code:
            put32(out, static_cast<uint32_t>(startRead(p, n)));
            break;
        case cdc::ReadFile.code:
            readChunk(p, n, out);
            break;
        case cdc::EndFileRead.code:
            out = {endRead()};
            break;
        case cdc::Command7E.code:
            break;
        default:
            reply.answer = false;  // unknown codes go unanswered
            break;
        }
    }

    std::string hostPath(const std::string& devicePath) const
    {
        return cfg.fsRoot + "/" + devicePath;
    }

    uint8_t startWrite(const uint8_t* p, size_t n)
    {
        if (!cdc::requestFits(cdc::StartESP, n))
            return kMalformed;
        const std::string path = nameField(p + 4, cdc::kEspNameField);
        if (!safeDevicePath(path))
            return kHostError;
        if (writeFd >= 0)
            ::close(writeFd);
        writeFd = -1;
        const std::string full = hostPath(path);
        if (!makeParents(full))
            return kHostError;
        writeFd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (writeFd < 0)
            return kHostError;
        writeSize = cdc::get32(p);
        written = 0;
        return kOk;
    }

    uint8_t writeChunk(const uint8_t* p, size_t n)
    {
        if (!cdc::requestFits(cdc::WriteESP, n) || cdc::get32(p + 4) != n - cdc::WriteESP.requestBytes)
            return kMalformed;
        if (writeFd < 0)
            return kNothingOpen;
        const uint32_t offset = cdc::get32(p);
        const uint32_t count = cdc::get32(p + 4);
        if (offset != written)
            return kBadOffset;
        if (count > writeSize - written)
            return kSizeMismatch;
        if (::pwrite(writeFd, p + cdc::WriteESP.requestBytes, count, offset) != static_cast<ssize_t>(count))
            return kHostError;
        written += count;
        return kOk;
    }

    uint8_t endWrite()
    {
        if (writeFd < 0)
            return kNothingOpen;
        ::close(writeFd);
        writeFd = -1;
        return written == writeSize ? kOk : kSizeMismatch;
    }

    uint8_t deleteFile(const uint8_t* p, size_t n)
    {
        if (!cdc::requestFits(cdc::DeleteESP, n))
            return kMalformed;
        const std::string path = nameField(p, cdc::kEspNameField);
        if (!safeDevicePath(path))
            return kHostError;
        return ::unlink(hostPath(path).c_str()) == 0 ? kOk : kNothingOpen;
    }

    int32_t startRead(const uint8_t* p, size_t n)
    {
        if (readFd >= 0)
            ::close(readFd);
        readFd = -1;
        if (!cdc::requestFits(cdc::StartFileRead, n))
            return -1;
        const std::string path = nameField(p + 2, cdc::kReadNameField);
        if (!safeDevicePath(path))
            return -1;
        const int fd = ::open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0)
            return -1;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
            ::close(fd);
            return -1;
        }
        readFd = fd;
        return static_cast<int32_t>(st.st_size);
    }

    // Answers with the bytes there are; a payload shorter than asked tells the tool it failed.
    void readChunk(const uint8_t* p, size_t n, Bytes& out)
    {
        const bool fits = cdc::requestFits(cdc::ReadFile, n);
        const uint32_t count = fits ? cdc::get32(p + 4) : 0;
        if (!fits || readFd < 0 || count > kMaxReadChunk) {
            out = {count == 1 ? kMalformed : kNothingOpen};
            if (count == 1)
                out.push_back(0);
            return;
        }
        out.resize(count);
        const ssize_t got = ::pread(readFd, out.data(), count, cdc::get32(p));
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }

    uint8_t endRead()
    {
        if (readFd < 0)
            return kNothingOpen;
        ::close(readFd);
        readFd = -1;
        return kOk;
    }

    uint8_t setParameter(const uint8_t* p, size_t n)
    {
        if (!cdc::requestFits(cdc::SetParameter, n))
            return kMalformed;
        const uint16_t id = cdc::get16(p);
        if (id != cdc::kKeyParameter) {
            parameters[id].assign(p + 2, p + n);
            return kOk;
        }
        if (n != 3 || p[2] != 0)
            return kMalformed;
        Bytes key = cfg.publicKey ? *cfg.publicKey : createP256PublicKey();
        if (key.empty() && !cfg.publicKey)
            return kHostError;
        publicKey.swap(key);
        return kOk;
    }

    // Content the tool never interprets; fixed so that tests can compare it.
    void infoBlock(Bytes& out) const
    {
        put64(out, deviceId);
        out.insert(out.end(), cfg.wifiMac, cfg.wifiMac + 6);
        out.insert(out.end(), cfg.ethernetMac, cfg.ethernetMac + 6);
        out.insert(out.end(), cfg.firmwareVersion.begin(), cfg.firmwareVersion.end());
        out.resize(200, 0);
    }

    static void record(uint16_t a, uint16_t b, Bytes& out)
    {
        put16(out, a);
        put16(out, b);
        for (int i = 0; i < 20; ++i)
            out.push_back(static_cast<uint8_t>(a * 31 + b + i));
        out.resize(32, 0xFF);
    }

    void deliver(const Reply& reply)
    {
        if (!reply.answer)
            return;
        Bytes payload = reply.payload;
        const Fault& fault = reply.fault;
        if (fault.mode == ErrorMode::OversizeFrame) {
            const size_t total = fault.param > 3 ? static_cast<size_t>(fault.param) : kDefaultOversize;
            // Filled with the command byte, so that any tail of it looks like an answer: a reader
            // that resynchronises in the middle of the frame is caught taking garbage.
            payload.resize(std::max(total - 3, payload.size()), reply.command);
        }
        const Bytes frame = encode(reply.command, payload);
        switch (fault.mode) {
        case ErrorMode::Delay:
            if (pause(fault.param))
                writeRaw(frame);
            break;
        case ErrorMode::WrongCodeFirst: {
            // An answer to some other command, as a late answer to an earlier request would be.
            const uint8_t other = reply.command == cdc::GetDeviceID.code ? cdc::GetMACs.code : cdc::GetDeviceID.code;
            writeRaw(encode(other, Bytes(8, 0)));
            // The right frame follows once the tool has read the wrong one on its own.
            waitTaken(20, 1000);
            writeRaw(frame);
            break;
        }
        case ErrorMode::GarbageFirst: {
            Bytes bytes = {0x55, 0xAA, 0x00, 0xFF, 0x13, 0x37};
            bytes.insert(bytes.end(), frame.begin(), frame.end());
            writeRaw(bytes);
            break;
        }
        case ErrorMode::SplitResponse: {
            const size_t half = std::max<size_t>(frame.size() / 2, 1);
            writeRaw(Bytes(frame.begin(), frame.begin() + half));
            if (pause(fault.param > 0 ? fault.param : 30))
                writeRaw(Bytes(frame.begin() + half, frame.end()));
            break;
        }
        default:
            writeRaw(frame);
            break;
        }
    }

    void finish(const Reply& reply)
    {
        switch (reply.after) {
        case Reply::After::Nothing:
            return;
        case Reply::After::Vanish:
            event("vanished");
            doUnplug();
            return;
        case Reply::After::Reboot:
        case Reply::After::LeaveBootloader:
            // Let the tool take the answer before the port goes.
            waitTaken(5, 300);
            {
                std::lock_guard<std::mutex> lock(m);
                ++rebootCount;
                if (reply.after == Reply::After::LeaveBootloader)
                    bootloader = false;
            }
            doUnplug();
            replugAfter(cfg.rebootDelayMs);
            return;
        }
    }
};

Device::Device(const Config& config) : d(new Impl(config)) {}

Device::~Device()
{
    stop();
}

bool Device::start()
{
    if (d->running)
        return true;
    if (!d->cfg.fsRoot.empty() && !makeDirs(d->cfg.fsRoot))
        return false;
    struct stat st {};
    if (::stat(d->cfg.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (!d->cfg.transcriptPath.empty() && !d->transcriptFile)
        d->transcriptFile = std::fopen(d->cfg.transcriptPath.c_str(), "ae");
    if (::pipe2(d->wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    ::unlink(d->triggerPath.c_str());  // a leftover trigger must not reset the new device
    if (d->cfg.pluggedAtStart) {
        if (d->cfg.plugDelayMs > 0) {
            d->replugAfter(d->cfg.plugDelayMs);
        } else if (!d->doPlug()) {
            stop();
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(d->m);
        d->stopping = false;
    }
    d->nextTriggerCheck = Clock::now();
    d->thread = std::thread([this] { d->serve(); });
    d->running = true;
    return true;
}

void Device::stop()
{
    if (d->running) {
        {
            std::lock_guard<std::mutex> lock(d->m);
            d->stopping = true;
        }
        d->cv.notify_all();
        d->wakeUp();
        d->thread.join();
        d->running = false;
    }
    d->doUnplug();
    d->closeFiles();
    for (int& fd : d->wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (d->transcriptFile)
        std::fclose(d->transcriptFile);
    d->transcriptFile = nullptr;
}

void Device::plug()
{
    d->callSync([this] { d->doPlug(); });
}

bool Device::plugged() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->plugged;
}

void Device::setFault(uint8_t command, const Fault& fault)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->faults[command] = fault;
}

void Device::setBootloader(bool on)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->bootloader = on;
}

std::string Device::portPath() const
{
    return d->linkPath;
}

std::string Device::resetTriggerPath() const
{
    return d->triggerPath;
}

int Device::plugCount() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->plugCount;
}

uint64_t Device::deviceId() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->deviceId;
}

std::vector<uint8_t> Device::publicKey() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->publicKey;
}

int Device::rebootCount() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->rebootCount;
}

std::vector<std::vector<uint8_t>> Device::requests() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->requests;
}

std::vector<uint8_t> Device::commandCodes() const
{
    std::lock_guard<std::mutex> lock(d->m);
    std::vector<uint8_t> codes;
    for (const Bytes& r : d->requests)
        codes.push_back(r[2]);
    return codes;
}

bool Device::waitForRequests(uint8_t command, int n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count_if(d->requests.begin(), d->requests.end(),
                             [&](const Bytes& r) { return r[2] == command; })
               >= n;
    });
}

bool parseFault(const std::string& text, uint8_t& command, Fault& fault)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    auto number = [](const std::string& s, long& value) {
        if (s.empty())
            return false;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const char* digits = s.c_str() + (hex ? 2 : 0);
        char* end = nullptr;
        errno = 0;
        value = std::strtol(digits, &end, hex ? 16 : 10);
        return errno == 0 && end != digits && *end == '\0';
    };
    long code = 0;
    if (!number(parts[0], code) || code < 0 || code > 255)
        return false;
    static const std::map<std::string, ErrorMode> modes = {
        {"no-answer", ErrorMode::NoAnswer},       {"non-zero-result", ErrorMode::NonZeroResult},
        {"wrong-code-first", ErrorMode::WrongCodeFirst}, {"garbage-first", ErrorMode::GarbageFirst},
        {"split", ErrorMode::SplitResponse},      {"oversize", ErrorMode::OversizeFrame},
        {"delay", ErrorMode::Delay},              {"vanish-after", ErrorMode::VanishAfter},
    };
    const auto mode = modes.find(parts[1]);
    if (mode == modes.end())
        return false;
    Fault parsed;
    parsed.mode = mode->second;
    long value = 0;
    if (parts.size() > 2) {
        if (!number(parts[2], value) || value < 0 || value > INT_MAX)
            return false;
        parsed.param = static_cast<int>(value);
    }
    if (parts.size() > 3) {
        if (!number(parts[3], value) || value < -1 || value > INT_MAX)
            return false;
        parsed.times = static_cast<int>(value);
    }
    command = static_cast<uint8_t>(code);
    fault = parsed;
    return true;
}

} // namespace devsim
