// The simulated device's core: the terminal, plugging in and out, serving and dispatch.
#include "devsim_impl.h"

#include "cdc_commands.h"
#include "cdc_framing.h"
#include "device_key.h"
#include "ports_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim {

namespace {

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

} // namespace

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

Bytes encode(uint8_t command, const Bytes& payload)
{
    Bytes out(2 * (payload.size() + 3) + 1);
    out.resize(cdc::encodeFrame(out.data(), command, payload.data(), payload.size()));
    return out;
}

void Device::Impl::note(const std::string& line)
{
    if (transcriptFile) {
        std::fputs(line.c_str(), transcriptFile);
        std::fputc('\n', transcriptFile);
        std::fflush(transcriptFile);
    }
}

void Device::Impl::event(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m);
    note("# " + text);
}

bool Device::Impl::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m);
    return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
}

void Device::Impl::wakeUp()
{
    if (wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wake[1], &byte, 1);
    }
}

void Device::Impl::callSync(const std::function<void()>& fn)
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

void Device::Impl::writeRaw(const Bytes& bytes)
{
    if (!pty.isOpen() || bytes.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(m);
        if (transcriptFile) // the hex costs time on every exchange
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

void Device::Impl::waitTaken(int minMs, int maxMs)
{
    if (!pause(minMs))
        return;
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
    while (pty.isOpen() && pty.pendingForTool() > 0 && Clock::now() < deadline) {
        if (!pause(1))
            return;
    }
}

bool Device::Impl::doPlug()
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

void Device::Impl::doUnplug()
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

void Device::Impl::replugAfter(int ms)
{
    replugPending = true;
    replugAt = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

void Device::Impl::checkResetTrigger()
{
    struct stat st
    {
    };
    if (::stat(triggerPath.c_str(), &st) != 0)
        return;
    event("reset by " + triggerPath);
    doUnplug();
    ::unlink(triggerPath.c_str());
    replugAfter(cfg.rebootDelayMs);
}

void Device::Impl::serve()
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
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(replugAt - Clock::now());
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

void Device::Impl::readLine(uint8_t* buf, size_t cap)
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
                return; // rebooted or vanished: the rest of the read went with the old port
        }
    }
}

void Device::Impl::handleRaw(const Bytes& raw)
{
    {
        std::lock_guard<std::mutex> lock(m);
        if (transcriptFile) // the hex costs time on every exchange
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
    // Outside the lock: the flash write holds up this device's answer, not its accessors.
    if (command == cdc::WriteESP.code && reply.answer && cfg.flashWriteUs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(cfg.flashWriteUs));
    deliver(reply);
    finish(reply);
}

void Device::Impl::decide(uint8_t command, const uint8_t* p, size_t n, Reply& reply)
{
    const Fault fault = takeFault(command);
    if (faultDecides(fault, command, reply))
        return;
    const bool bootloaderAnswers =
        command == cdc::GetVersion.code || command == cdc::QueryVersion.code ||
        command == cdc::Reboot.code || command == cdc::LeaveBootloader.code;
    if (bootloader && !bootloaderAnswers)
        return;
    reply.answer = true;
    reply.command = command;
    reply.fault = fault;
    execute(command, p, n, reply);
}

void Device::Impl::execute(uint8_t command, const uint8_t* p, size_t n, Reply& reply)
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
                out = publicKey; // empty until the key has been created
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
        reply.answer = false; // unknown codes go unanswered
        break;
    }
}

uint8_t Device::Impl::setParameter(const uint8_t* p, size_t n)
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

void Device::Impl::infoBlock(Bytes& out) const
{
    put64(out, deviceId);
    out.insert(out.end(), cfg.wifiMac, cfg.wifiMac + 6);
    out.insert(out.end(), cfg.ethernetMac, cfg.ethernetMac + 6);
    out.insert(out.end(), cfg.firmwareVersion.begin(), cfg.firmwareVersion.end());
    out.resize(200, 0);
}

void Device::Impl::record(uint16_t a, uint16_t b, Bytes& out)
{
    put16(out, a);
    put16(out, b);
    for (int i = 0; i < 20; ++i)
        out.push_back(static_cast<uint8_t>(a * 31 + b + i));
    out.resize(32, 0xFF);
}

void Device::Impl::finish(const Reply& reply)
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

Device::Device(const Config& config) : d(new Impl(config))
{}

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
    struct stat st
    {
    };
    if (::stat(d->cfg.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (!d->cfg.transcriptPath.empty() && !d->transcriptFile)
        d->transcriptFile = std::fopen(d->cfg.transcriptPath.c_str(), "ae");
    if (::pipe2(d->wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    ::unlink(d->triggerPath.c_str()); // a leftover trigger must not reset the new device
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
                             [&](const Bytes& r) { return r[2] == command; }) >= n;
    });
}

} // namespace devsim
