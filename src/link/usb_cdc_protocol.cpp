#include "usb_cdc_protocol.h"

#include "cdc_framing.h"
#include "deadline.h"

#include <QByteArray>
#include <QtDebug>
#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr size_t kArea = 512;                    // ordinary commands
constexpr size_t kBigArea = cdc::kMaxFrameArea;  // SendWriteESP, SendReadFile
constexpr size_t kHeader = 3;
constexpr uint32_t kMaxChunk = kBigArea - kHeader - 8;

void put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t get64(const uint8_t* p)
{
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

// The name field is filled like strncpy: NUL padded, cut at the width without a terminator.
void putName(uint8_t* field, size_t width, const QString& name)
{
    const QByteArray utf8 = name.toUtf8();
    size_t n = std::min(width, size_t(utf8.size()));
    if (const void* nul = memchr(utf8.constData(), 0, n))
        n = size_t(static_cast<const char*>(nul) - utf8.constData());
    memcpy(field, utf8.constData(), n);
    memset(field + n, 0, width - n);
}

// A response too short for the fields a command reads would hand out stale bytes of the area.
bool hasPayload(uint32_t frameLength, size_t bytes)
{
    return frameLength >= kHeader + bytes;
}

// Result byte of the file commands: 0 is accepted; every failure gets its diagnostic.
bool resultFailed(const char* op, bool timedOut, const uint8_t* area, uint32_t frameLength)
{
    if (timedOut) {
        qDebug("CDC Error: %s timeout", op);
        return true;
    }
    if (!hasPayload(frameLength, 1)) {
        qDebug("CDC Error: %s result missing", op);
        return true;
    }
    if (area[kHeader] != 0) {
        qDebug("CDC Error: %s result NOK, %u", op, unsigned(area[kHeader]));
        return true;
    }
    return false;
}

bool quietResultFailed(bool timedOut, const uint8_t* area, uint32_t frameLength)
{
    return timedOut || !hasPayload(frameLength, 1) || area[kHeader] != 0;
}

} // namespace

cUSB_CDC_Protocol::cUSB_CDC_Protocol() = default;

cUSB_CDC_Protocol::~cUSB_CDC_Protocol()
{
    closeIfOpen();
}

bool cUSB_CDC_Protocol::open(const QString& portName)
{
    if (m_portOpen)
        return true;
    m_portOpen = m_line.open(portName.toUtf8().toStdString());
    return !m_portOpen;
}

void cUSB_CDC_Protocol::close()
{
    m_line.close();
    m_portOpen = false;
}

void cUSB_CDC_Protocol::closeIfOpen()
{
    if (m_portOpen)
        close();
}

bool cUSB_CDC_Protocol::writeFrame(uint8_t command, const uint8_t* payload, uint32_t length)
{
    if (!m_portOpen || length > kBigArea - kHeader)
        return true;
    uint8_t encoded[cdc::kMaxEncodedArea];
    const size_t n = cdc::encodeFrame(encoded, command, payload, length);
    return m_line.write(encoded, n) != n;
}

bool cUSB_CDC_Protocol::readFrame(uint8_t command, uint8_t* area, size_t areaSize,
                                  uint32_t& frameLength)
{
    frameLength = 0;
    if (!m_portOpen)
        return true;
    uint8_t raw[cdc::kMaxRead];
    const long got = m_line.read(raw, sizeof raw);
    if (got <= 0)
        return true;
    size_t count = size_t(got);
    if (cdc::unescapeFrame(area, areaSize, raw, count))
        return true;
    if (count < kHeader || area[2] != command)
        return true;
    frameLength = uint32_t(count);
    return false;
}

void cUSB_CDC_Protocol::escapeBytes(uint8_t*& cursor, const uint8_t* bytes, size_t count)
{
    cdc::escapeBytes(cursor, bytes, count);
}

bool cUSB_CDC_Protocol::unescapeFrame(uint8_t* out, size_t outCap, const uint8_t* in, size_t& count)
{
    return cdc::unescapeFrame(out, outCap, in, count);
}

bool cUSB_CDC_Protocol::exchange(uint8_t command, const uint8_t* request, uint32_t& length,
                                 uint8_t* response, size_t responseSize, uint32_t timeoutMs)
{
    if (m_timeoutLimitMs && timeoutMs > m_timeoutLimitMs)
        timeoutMs = m_timeoutLimitMs;
    if (m_portOpen)
        writeFrame(command, request, length);
    Deadline deadline;
    deadline.set(timeoutMs);
    while (!deadline.expired()) {
        if (!m_portOpen) {
            // Nothing can arrive on a closed port; wait out the time-out without spinning.
            std::this_thread::sleep_until(deadline.at());
            continue;
        }
        uint32_t frameLength = 0;
        if (!readFrame(command, response, responseSize, frameLength)) {
            length = frameLength;
            break;
        }
    }
    if (deadline.expired()) {
        qDebug("Timeout occurrued");
        return true;
    }
    return false;
}

bool cUSB_CDC_Protocol::queryVersion(uint8_t command, uint32_t timeoutMs, QString& text)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(command, nullptr, length, area, sizeof area, timeoutMs))
        return true;
    const uint8_t* begin = area + kHeader;
    const size_t available = length - kHeader;
    const void* nul = memchr(begin, 0, available);
    const size_t n = nul ? size_t(static_cast<const uint8_t*>(nul) - begin) : available;
    if (n == 0) {
        m_versionReported = false;
        return false;
    }
    text = QString::fromUtf8(reinterpret_cast<const char*>(begin), int(n));
    m_versionReported = true;
    return false;
}

bool cUSB_CDC_Protocol::SendGetVersion(QString& text)
{
    return queryVersion(0x01, 300, text);
}

bool cUSB_CDC_Protocol::SendQueryVersion(QString& text)
{
    return queryVersion(0x0C, 1000, text);
}

bool cUSB_CDC_Protocol::SendStartESP(const QString& fileName, uint32_t fileSize)
{
    uint8_t request[36];
    put32(request, fileSize);
    putName(request + 4, 32, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    const bool timedOut = exchange(0x02, request, length, area, sizeof area, 50000);
    return resultFailed("SendStartESP", timedOut, area, length);
}

bool cUSB_CDC_Protocol::SendWriteESP(uint32_t offset, const uint8_t* data, uint32_t n)
{
    if (n > kMaxChunk) {
        qDebug("CDC Error: SendWriteESP chunk of %u bytes too large", n);
        return true;
    }
    uint8_t request[kBigArea];
    put32(request, offset);
    put32(request + 4, n);
    if (n)
        memcpy(request + 8, data, n);
    uint8_t area[kBigArea];
    uint32_t length = n + 8;
    const bool timedOut = exchange(0x03, request, length, area, sizeof area, 10000);
    return resultFailed("SendWriteESP", timedOut, area, length);
}

bool cUSB_CDC_Protocol::SendEndESP()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    const bool timedOut = exchange(0x04, nullptr, length, area, sizeof area, 1000);
    return quietResultFailed(timedOut, area, length);
}

bool cUSB_CDC_Protocol::SendDeleteESP(const QString& fileName)
{
    uint8_t request[32];
    putName(request, 32, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    const bool timedOut = exchange(0x05, request, length, area, sizeof area, 60000);
    return resultFailed("SendDeleteESP", timedOut, area, length);
}

bool cUSB_CDC_Protocol::SendSetDeviceID(quint64& deviceId)
{
    uint8_t request[8];
    put64(request, deviceId);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (exchange(0x06, request, length, area, sizeof area, 1000) || !hasPayload(length, 8))
        return true;
    deviceId = get64(area + kHeader);
    return false;
}

bool cUSB_CDC_Protocol::SendReboot()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(0x08, nullptr, length, area, sizeof area, 1000);
}

bool cUSB_CDC_Protocol::SendLeaveBootloader()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(0x09, nullptr, length, area, sizeof area, 1000);
}

bool cUSB_CDC_Protocol::SendGetMACs(uint8_t wifiMac[6], uint8_t ethernetMac[6])
{
    memset(wifiMac, 0, 6);
    memset(ethernetMac, 0, 6);
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(0x0A, nullptr, length, area, sizeof area, 1000) || !hasPayload(length, 1))
        return true;
    // A short answer starting with 0 means the device has no MACs; a full answer is taken as
    // it stands, since many real addresses begin with 00.
    if (!hasPayload(length, 12))
        return area[kHeader] != 0;
    memcpy(wifiMac, area + kHeader, 6);
    memcpy(ethernetMac, area + kHeader + 6, 6);
    return false;
}

bool cUSB_CDC_Protocol::SendGetDeviceID(quint64& deviceId)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(0x0B, nullptr, length, area, sizeof area, 1000) || !hasPayload(length, 8))
        return true;
    deviceId = get64(area + kHeader);
    return false;
}

bool cUSB_CDC_Protocol::SendGetStatusWord(quint32& value)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(0x0D, nullptr, length, area, sizeof area, 1000) || !hasPayload(length, 4))
        return true;
    const uint32_t v = get32(area + kHeader);
    if (v == 0)
        return true;
    value = v;
    return false;
}

bool cUSB_CDC_Protocol::SendGetParameter(quint16 id, uint8_t* data, quint16& length)
{
    uint8_t request[2];
    put16(request, id);
    uint8_t area[kArea];
    uint32_t frameLength = sizeof request;
    if (exchange(0x0E, request, frameLength, area, sizeof area, 1000))
        return true;
    const uint32_t valueLength = frameLength - kHeader;
    if (valueLength > length) {
        qDebug("CDC Error: SendGetParameter value of %u bytes exceeds the buffer of %u bytes",
               valueLength, unsigned(length));
        return true;
    }
    if (valueLength)
        memcpy(data, area + kHeader, valueLength);
    length = quint16(valueLength);
    return false;
}

bool cUSB_CDC_Protocol::SendSetParameter(quint16 id, const uint8_t* data, quint16 n)
{
    if (size_t(n) + 2 > kArea - kHeader)
        return true;
    uint8_t request[kArea];
    put16(request, id);
    if (n)
        memcpy(request + 2, data, n);
    uint8_t area[kArea];
    uint32_t length = n + 2u;
    return exchange(0x0F, request, length, area, sizeof area, 1000);
}

bool cUSB_CDC_Protocol::SendGetInfoBlock(uint8_t block[200])
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(0x10, nullptr, length, area, sizeof area, 1000) || length != 203)
        return true;
    memcpy(block, area + kHeader, 200);
    return false;
}

bool cUSB_CDC_Protocol::SendGetRecord(quint16 a, quint16 b, uint8_t record[24])
{
    uint8_t request[4];
    put16(request, a);
    put16(request + 2, b);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (exchange(0x11, request, length, area, sizeof area, 1000) || length != 35)
        return true;
    memcpy(record, area + kHeader, 24);
    return false;
}

bool cUSB_CDC_Protocol::SendStartFileRead(quint16 selector, const QString& fileName, quint32& size)
{
    size = 0;
    uint8_t request[26];
    put16(request, selector);
    putName(request + 2, 24, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (exchange(0x12, request, length, area, sizeof area, 30000)) {
        qDebug("CDC Error: SendStartFileRead timeout");
        return true;
    }
    if (!hasPayload(length, 4)) {
        qDebug("CDC Error: SendStartFileRead size missing");
        return true;
    }
    const int32_t reported = int32_t(get32(area + kHeader));
    if (reported < 0) {
        qDebug("CDC Error: SendStartFileRead: file doesn't exist");
        return true;
    }
    size = quint32(reported);
    return false;
}

bool cUSB_CDC_Protocol::SendReadFile(quint32 offset, uint8_t* data, quint32 n)
{
    uint8_t request[8];
    put32(request, offset);
    put32(request + 4, n);
    uint8_t area[kBigArea];
    uint32_t length = sizeof request;
    if (exchange(0x13, request, length, area, sizeof area, 5000)) {
        qDebug("CDC Error: SendReadFile timeout");
        return true;
    }
    const uint32_t payload = length - kHeader;
    if (payload != n) {
        if (payload == 0)
            qDebug("CDC Error: SendReadFile empty response");
        else
            qDebug("CDC Error: SendReadFile result NOK, %u", unsigned(area[kHeader]));
        return true;
    }
    if (n)
        memcpy(data, area + kHeader, n);
    return false;
}

bool cUSB_CDC_Protocol::SendEndFileRead()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    const bool timedOut = exchange(0x14, nullptr, length, area, sizeof area, 1000);
    return quietResultFailed(timedOut, area, length);
}

bool cUSB_CDC_Protocol::SendCommand7E()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(0x7E, nullptr, length, area, sizeof area, 1000);
}
