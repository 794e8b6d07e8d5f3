#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The simulated device: speaks the device protocol on a real pseudo-terminal, keeps its file
// system in a host folder, plugs itself in and out through the extra-ports file.
namespace devsim {

enum class ErrorMode {
    None,
    NoAnswer,        // request read, nothing sent back
    NonZeroResult,   // result byte (payload byte 0) = param (default 1)
    WrongCodeFirst,  // a frame of another command first, then the right one
    GarbageFirst,    // garbage bytes (no END byte) before the frame, in the same write
    SplitResponse,   // response written in two pieces with a gap of param ms (default 30)
    OversizeFrame,   // a frame of param decoded bytes (default 1100), padded with the command byte
    Delay,           // answer after param ms
    VanishAfter,     // SendWriteESP only: answer k = param chunks, then unplug and stay silent
};

struct Fault
{
    ErrorMode mode = ErrorMode::None;
    int param = 0;
    int times = -1;  // how many requests it applies to; -1: every one
};

struct Config
{
    std::string dir;                    // symlink, pty bookkeeping; must exist
    std::string portsFile;              // the VELTORA_EXTRA_PORTS file this device plugs into
    std::string linkName = "ttySIM0";   // symlink <dir>/<linkName> -> current pty slave
    std::string fsRoot;                 // the device's file system (created if missing)
    uint16_t vendorId = 0x2C0D;
    // Written into its ports line as serial=... and location=... (empty: not known, not written).
    std::string usbSerial;
    std::string usbLocation;
    bool pluggedAtStart = true;
    int plugDelayMs = 0;                // delay before the first plug-in
    int rebootDelayMs = 300;            // away time after SendReboot / SendLeaveBootloader
    bool bootloader = false;            // start in the bootloader (version text contains "Bootloader")
    std::string firmwareVersion = "VELTORA-FW 3.2.0";
    std::string bootloaderVersion = "Bootloader 1.0.4";
    uint8_t wifiMac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint8_t ethernetMac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
    uint64_t deviceId = 0;
    // Firmware that misbehaves at SetDeviceID: answers with this ID instead of the one sent (and
    // holds the one sent), or answers with the ID sent and keeps the one it had.
    std::optional<uint64_t> deviceIdEcho;
    bool keepsDeviceId = true;
    uint32_t statusWord = 1;            // SendGetStatusWord answer
    // The key "created" on request (empty: the device has none after all); none: a fresh P-256 key.
    std::optional<std::vector<uint8_t>> publicKey;
    std::string transcriptPath;         // when set, the transcript is also appended there
    // Answers reach the tool as full-speed USB delivers them: packets of usbPacketBytes (0: the
    // whole answer in one write) with a random gap of 0 to usbGapMaxUs between them; cutGapMs
    // pauses once at a random byte of every answer, across the tool's read window.
    int usbPacketBytes = 64;
    int usbGapMaxUs = 0;
    int cutGapMs = 0;
    // Each chunk written takes this long to go into flash before it is answered.
    int flashWriteUs = 0;
    unsigned seed = 1;                  // of the random gaps and cuts
    // A file whose appearance resets the device (unplug, rebootDelayMs away, plug); the device
    // deletes it once it has unplugged. Empty: <dir>/<linkName>.reset.
    std::string resetTriggerPath;
};

// Parses a fault as the command line gives it: "<code>:<mode>[:<param>[:<times>]]" with code in
// decimal or 0x hex and mode one of no-answer, non-zero-result, wrong-code-first, garbage-first,
// split, oversize, delay, vanish-after. False on anything else.
bool parseFault(const std::string& text, uint8_t& command, Fault& fault);

// Answers of note: the file commands give 0 on success, 1 when the file is absent or none is
// open, 2 for a chunk not at the end of the file, 3 for a malformed request, 4 when the bytes
// written differ from the size SendStartESP announced, 5 for a path outside the device's file
// system ("..", absolute) or a host error. SendGetParameter 17 gives an empty value until
// SendSetParameter 17 with the data byte 0 has created the key. In the bootloader only the version
// queries, SendReboot and SendLeaveBootloader are answered. Reboots answer with an empty frame,
// then the port goes away and comes back as a new pseudo-terminal after rebootDelayMs.
class Device
{
public:
    explicit Device(const Config& config);
    ~Device();  // stops, unplugs, removes the symlink

    bool start();  // creates the pty and the serving thread; plugs in as configured
    void stop();

    void plug();
    bool plugged() const;

    void setFault(uint8_t command, const Fault& fault);
    void setBootloader(bool on);

    std::string portPath() const;  // <dir>/<linkName>
    std::string resetTriggerPath() const;
    int plugCount() const;         // plug-ins so far (start, reboots, plug(), resets)
    uint64_t deviceId() const;
    std::vector<uint8_t> publicKey() const;  // 64 bytes X||Y, empty before key creation
    int rebootCount() const;

    // What the device received: one entry per request frame, decoded (header included).
    std::vector<std::vector<uint8_t>> requests() const;
    std::vector<uint8_t> commandCodes() const;
    // Waits up to timeoutMs for the count of requests with this code to reach n.
    bool waitForRequests(uint8_t command, int n, int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace devsim
