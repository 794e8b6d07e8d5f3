#pragma once
#include <cstddef>
#include <cstdint>

// The device's command set in one table, read by the tool's link and by the simulated device:
// codes, request layouts, response areas and time-outs, and the little-endian field helpers.
namespace cdc {

constexpr size_t kHeader = 3;          // length (2, little-endian) + command
constexpr size_t kArea = 512;          // response area of the ordinary commands
constexpr size_t kBigArea = 1024;      // SendWriteESP and SendReadFile
constexpr size_t kEspNameField = 32;   // SendStartESP, SendDeleteESP
constexpr size_t kReadNameField = 24;  // SendStartFileRead
constexpr uint16_t kKeyParameter = 17; // the authentication key
// The largest SendWriteESP / SendReadFile data block the 1024-byte areas carry.
constexpr uint32_t kMaxChunk = kBigArea - kHeader - 8;

// What a request carries besides its fixed part: nothing, or n data bytes after it.
enum class Tail : uint8_t { None, Data };

struct Command
{
    uint8_t code;
    const char* name;       // the operation, as diagnostics name it
    uint32_t timeoutMs;
    uint16_t requestBytes;  // fixed part of the request payload
    Tail tail;
    uint16_t area;          // response area, header included
    bool diagnostics;       // writes "CDC Error: <name> ..." lines of its own
};

constexpr Command GetVersion{0x01, "SendGetVersion", 300, 0, Tail::None, kArea, false};
constexpr Command StartESP{0x02, "SendStartESP", 50000, 4 + kEspNameField, Tail::None, kArea, true};
constexpr Command WriteESP{0x03, "SendWriteESP", 10000, 8, Tail::Data, kBigArea, true};
constexpr Command EndESP{0x04, "SendEndESP", 1000, 0, Tail::None, kArea, false};
constexpr Command DeleteESP{0x05, "SendDeleteESP", 60000, kEspNameField, Tail::None, kArea, true};
constexpr Command SetDeviceID{0x06, "SendSetDeviceID", 1000, 8, Tail::None, kArea, false};
constexpr Command Reboot{0x08, "SendReboot", 1000, 0, Tail::None, kArea, false};
constexpr Command LeaveBootloader{0x09, "SendLeaveBootloader", 1000, 0, Tail::None, kArea, false};
constexpr Command GetMACs{0x0A, "SendGetMACs", 1000, 0, Tail::None, kArea, false};
constexpr Command GetDeviceID{0x0B, "SendGetDeviceID", 1000, 0, Tail::None, kArea, false};
constexpr Command QueryVersion{0x0C, "SendQueryVersion", 1000, 0, Tail::None, kArea, false};
constexpr Command GetStatusWord{0x0D, "SendGetStatusWord", 1000, 0, Tail::None, kArea, false};
constexpr Command GetParameter{0x0E, "SendGetParameter", 1000, 2, Tail::None, kArea, false};
constexpr Command SetParameter{0x0F, "SendSetParameter", 1000, 2, Tail::Data, kArea, false};
constexpr Command GetInfoBlock{0x10, "SendGetInfoBlock", 1000, 0, Tail::None, kArea, false};
constexpr Command GetRecord{0x11, "SendGetRecord", 1000, 4, Tail::None, kArea, false};
constexpr Command StartFileRead{0x12, "SendStartFileRead", 30000, 2 + kReadNameField, Tail::None,
                                kArea, true};
constexpr Command ReadFile{0x13, "SendReadFile", 5000, 8, Tail::None, kBigArea, true};
constexpr Command EndFileRead{0x14, "SendEndFileRead", 1000, 0, Tail::None, kArea, false};
constexpr Command Command7E{0x7E, "SendCommand7E", 1000, 0, Tail::None, kArea, false};

constexpr const Command* kCommands[] = {
    &GetVersion, &StartESP,   &WriteESP,     &EndESP,        &DeleteESP,    &SetDeviceID,
    &Reboot,     &LeaveBootloader, &GetMACs, &GetDeviceID,   &QueryVersion, &GetStatusWord,
    &GetParameter, &SetParameter, &GetInfoBlock, &GetRecord, &StartFileRead, &ReadFile,
    &EndFileRead, &Command7E,
};

// Whether a request payload of n bytes has the layout of this command.
inline bool requestFits(const Command& c, size_t n)
{
    return c.tail == Tail::None ? n == c.requestBytes : n >= c.requestBytes;
}

inline void put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline void put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline uint16_t get16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t get64(const uint8_t* p)
{
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

} // namespace cdc
