#pragma once
// The simulated device's inside, shared by its three parts: the core (devsim.cpp: the terminal,
// plugging in and out, serving requests and dispatching them), the device's file system
// (devsim_fs.cpp) and the faults it can be told to make (devsim_faults.cpp).
#include "devsim.h"
#include "sim_pty.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace devsim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Result bytes of the file commands.
constexpr uint8_t kOk = 0;
constexpr uint8_t kNothingOpen = 1;  // no such file, or no file open for this command
constexpr uint8_t kBadOffset = 2;    // chunk not at the end of what was written so far
constexpr uint8_t kMalformed = 3;    // payload length or layout wrong
constexpr uint8_t kSizeMismatch = 4; // more or fewer bytes than SendStartESP announced
constexpr uint8_t kHostError = 5;    // bad path or the host folder refused

// Appends a little-endian field.
void put16(Bytes& b, uint16_t v);
void put32(Bytes& b, uint32_t v);
void put64(Bytes& b, uint64_t v);
// One frame as the line carries it.
Bytes encode(uint8_t command, const Bytes& payload);
// Creates the folder and those above it; true when it is a folder afterwards.
bool makeDirs(const std::string& path);

struct Reply
{
    enum class After { Nothing, Reboot, LeaveBootloader, Vanish };
    bool answer = false;
    uint8_t command = 0;
    Bytes payload;
    Fault fault;
    After after = After::Nothing;
};

struct Device::Impl
{
    explicit Impl(const Config& c)
        : cfg(c),
          linkPath(c.dir + "/" + c.linkName),
          triggerPath(c.resetTriggerPath.empty() ? linkPath + ".reset" : c.resetTriggerPath),
          bootloader(c.bootloader),
          deviceId(c.deviceId)
    {}

    const Config cfg;
    const std::string linkPath;
    const std::string triggerPath;

    // Owned by the serving thread while it runs, by the caller otherwise.
    SimPty pty;
    Bytes rx;
    unsigned generation = 0; // bumped by every unplug, so a read loop notices the pty is gone
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

    // --- plumbing (devsim.cpp)
    void note(const std::string& line); // m held
    void event(const std::string& text);
    // Sleeps, but returns early (false) when the device is being stopped.
    bool pause(int ms);
    void wakeUp();
    // Runs fn on the serving thread (or here when none runs) and waits for it, bounded.
    void callSync(const std::function<void()>& fn);
    void writeRaw(const Bytes& bytes);
    // Waits at least minMs, then until the tool has taken what the device wrote (at most maxMs).
    void waitTaken(int minMs, int maxMs);

    // --- plugging (devsim.cpp)
    bool doPlug();
    void doUnplug();
    void replugAfter(int ms);
    void checkResetTrigger();

    // --- serving and dispatch (devsim.cpp)
    void serve();
    void readLine(uint8_t* buf, size_t cap);
    void handleRaw(const Bytes& raw);
    void decide(uint8_t command, const uint8_t* p, size_t n, Reply& reply);  // m held
    void execute(uint8_t command, const uint8_t* p, size_t n, Reply& reply); // m held
    uint8_t setParameter(const uint8_t* p, size_t n);
    // Content the tool never interprets; fixed so that tests can compare it.
    void infoBlock(Bytes& out) const;
    static void record(uint16_t a, uint16_t b, Bytes& out);
    void finish(const Reply& reply);

    // --- the file system (devsim_fs.cpp)
    std::string hostPath(const std::string& devicePath) const;
    void closeFiles();
    uint8_t startWrite(const uint8_t* p, size_t n);
    uint8_t writeChunk(const uint8_t* p, size_t n);
    uint8_t endWrite();
    uint8_t deleteFile(const uint8_t* p, size_t n);
    int32_t startRead(const uint8_t* p, size_t n);
    // Answers with the bytes there are; a payload shorter than asked tells the tool it failed.
    void readChunk(const uint8_t* p, size_t n, Bytes& out);
    uint8_t endRead();

    // --- the faults (devsim_faults.cpp)
    // The fault that applies to this request, counting it against the fault's budget. m held.
    Fault takeFault(uint8_t command);
    // A fault that decides the reply on its own (no answer, vanishing, a non-zero result): true
    // when it did, and the request is not carried out. m held.
    bool faultDecides(const Fault& fault, uint8_t command, Reply& reply);
    void deliver(const Reply& reply);
};

} // namespace devsim
