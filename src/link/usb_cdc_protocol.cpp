#include "usb_cdc_protocol.h"

#include "cdc_commands.h"
#include "cdc_framing.h"
#include "deadline.h"

#include <QByteArray>
#include <QtDebug>
#include <algorithm>
#include <cstring>
#include <thread>

using namespace cdc;

namespace {

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
    m_reader.clear();
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
    uint8_t encoded[kMaxEncodedArea];
    const size_t n = encodeFrame(encoded, command, payload, length);
    return m_line.write(encoded, n, *m_stop) != n;
}

bool cUSB_CDC_Protocol::readFrame(uint8_t command, uint8_t* area, size_t areaSize,
                                  uint32_t& frameLength)
{
    frameLength = 0;
    if (!m_portOpen)
        return true;
    const uint8_t* frame = nullptr;
    size_t n = 0;
    if (!m_reader.next(areaSize, frame, n)) {
        uint8_t raw[2048];
        const long got = m_line.read(raw, sizeof raw, m_readWaitMs);
        if (got <= 0)
            return true;
        m_reader.feed(raw, size_t(got));
        if (!m_reader.next(areaSize, frame, n))
            return true;
    }
    if (n < kHeader || frame[2] != command)
        return true;
    memcpy(area, frame, n);
    frameLength = uint32_t(n);
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
    m_lastTimeoutMs = timeoutMs;
    if (m_timeoutLimitMs && timeoutMs > m_timeoutLimitMs)
        timeoutMs = m_timeoutLimitMs;
    if (stopped())
        return true;
    if (m_portOpen) {
        // A late answer to an earlier request must never be taken for this one's.
        m_line.discardInput();
        m_reader.clear();
        // The result is not looked at: a request that did not go out whole is seen as no answer,
        // when the deadline expires, like any other lost request.
        (void)writeFrame(command, request, length);
    }
    Deadline deadline;
    deadline.set(timeoutMs);
    for (;;) {
        if (stopped()) {
            qDebug("Exchange stopped");
            return true;
        }
        const int left = deadline.msLeft();
        if (left == 0)
            break;
        m_readWaitMs = std::min(left, int(SerialLine::kReadWindowMs));
        if (!m_portOpen) {
            // Nothing can arrive on a closed port; wait out the time-out without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(m_readWaitMs));
            continue;
        }
        uint32_t frameLength = 0;
        const bool missed = readFrame(command, response, responseSize, frameLength);
        if (!missed) {
            length = frameLength;
            break;
        }
    }
    m_readWaitMs = SerialLine::kReadWindowMs;
    if (deadline.expired()) {
        qDebug("Timeout occurrued");
        return true;
    }
    return false;
}

bool cUSB_CDC_Protocol::exchange(const Command& c, const uint8_t* request, uint32_t& length,
                                 uint8_t* area)
{
    return exchange(c.code, request, length, area, c.area, c.timeoutMs);
}

bool cUSB_CDC_Protocol::failed(const Command& c, bool exchangeFailed, const uint8_t* area,
                               uint32_t length, size_t fieldBytes, bool resultByte) const
{
    if (exchangeFailed) {
        if (c.diagnostics)
            qDebug("CDC Error: %s %s", c.name, stopped() ? "stopped" : "timeout");
        return true;
    }
    if (length < kHeader + fieldBytes) {
        if (c.diagnostics)
            qDebug("CDC Error: %s %s missing", c.name, resultByte ? "result" : "answer");
        return true;
    }
    if (resultByte && area[kHeader] != 0) {
        if (c.diagnostics)
            qDebug("CDC Error: %s result NOK, %u", c.name, unsigned(area[kHeader]));
        return true;
    }
    return false;
}

bool cUSB_CDC_Protocol::ask(const Command& c, const uint8_t* request, uint32_t& length,
                            uint8_t* area, size_t fieldBytes, bool resultByte)
{
    const bool timedOut = exchange(c, request, length, area);
    return failed(c, timedOut, area, length, fieldBytes, resultByte);
}

bool cUSB_CDC_Protocol::queryVersion(const Command& c, QString& text)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(c, nullptr, length, area))
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
    return queryVersion(GetVersion, text);
}

bool cUSB_CDC_Protocol::SendQueryVersion(QString& text)
{
    return queryVersion(QueryVersion, text);
}

bool cUSB_CDC_Protocol::SendStartESP(const QString& fileName, uint32_t fileSize)
{
    uint8_t request[StartESP.requestBytes];
    put32(request, fileSize);
    putName(request + 4, kEspNameField, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    return ask(StartESP, request, length, area, 1, true);
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
        memcpy(request + WriteESP.requestBytes, data, n);
    uint8_t area[kBigArea];
    uint32_t length = WriteESP.requestBytes + n;
    return ask(WriteESP, request, length, area, 1, true);
}

bool cUSB_CDC_Protocol::SendEndESP()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return ask(EndESP, nullptr, length, area, 1, true);
}

bool cUSB_CDC_Protocol::SendDeleteESP(const QString& fileName)
{
    uint8_t request[DeleteESP.requestBytes];
    putName(request, kEspNameField, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    return ask(DeleteESP, request, length, area, 1, true);
}

bool cUSB_CDC_Protocol::SendSetDeviceID(quint64& deviceId)
{
    uint8_t request[SetDeviceID.requestBytes];
    put64(request, deviceId);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (ask(SetDeviceID, request, length, area, 8))
        return true;
    deviceId = get64(area + kHeader);
    return false;
}

bool cUSB_CDC_Protocol::SendReboot()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(Reboot, nullptr, length, area);
}

bool cUSB_CDC_Protocol::SendLeaveBootloader()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(LeaveBootloader, nullptr, length, area);
}

bool cUSB_CDC_Protocol::SendGetMACs(uint8_t wifiMac[6], uint8_t ethernetMac[6])
{
    memset(wifiMac, 0, 6);
    memset(ethernetMac, 0, 6);
    uint8_t area[kArea];
    uint32_t length = 0;
    if (ask(GetMACs, nullptr, length, area, 1))
        return true;
    // A short answer starting with 0 means the device has no MACs; a full answer is taken as
    // it stands, since many real addresses begin with 00.
    if (length < kHeader + 12)
        return area[kHeader] != 0;
    memcpy(wifiMac, area + kHeader, 6);
    memcpy(ethernetMac, area + kHeader + 6, 6);
    return false;
}

bool cUSB_CDC_Protocol::SendGetDeviceID(quint64& deviceId)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (ask(GetDeviceID, nullptr, length, area, 8))
        return true;
    deviceId = get64(area + kHeader);
    return false;
}

bool cUSB_CDC_Protocol::SendGetStatusWord(quint32& value)
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (ask(GetStatusWord, nullptr, length, area, 4))
        return true;
    const uint32_t v = get32(area + kHeader);
    if (v == 0)
        return true;
    value = v;
    return false;
}

bool cUSB_CDC_Protocol::SendGetParameter(quint16 id, uint8_t* data, quint16& length)
{
    uint8_t request[GetParameter.requestBytes];
    put16(request, id);
    uint8_t area[kArea];
    uint32_t frameLength = sizeof request;
    if (exchange(GetParameter, request, frameLength, area))
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
    if (size_t(n) + SetParameter.requestBytes > kArea - kHeader)
        return true;
    uint8_t request[kArea];
    put16(request, id);
    if (n)
        memcpy(request + SetParameter.requestBytes, data, n);
    uint8_t area[kArea];
    uint32_t length = SetParameter.requestBytes + n;
    return exchange(SetParameter, request, length, area);
}

bool cUSB_CDC_Protocol::SendGetInfoBlock(uint8_t block[200])
{
    uint8_t area[kArea];
    uint32_t length = 0;
    if (exchange(GetInfoBlock, nullptr, length, area) || length != kHeader + 200)
        return true;
    memcpy(block, area + kHeader, 200);
    return false;
}

bool cUSB_CDC_Protocol::SendGetRecord(quint16 a, quint16 b, uint8_t record[24])
{
    uint8_t request[GetRecord.requestBytes];
    put16(request, a);
    put16(request + 2, b);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (exchange(GetRecord, request, length, area) || length != kHeader + 32)
        return true;
    memcpy(record, area + kHeader, 24);
    return false;
}

bool cUSB_CDC_Protocol::SendStartFileRead(quint16 selector, const QString& fileName, quint32& size)
{
    size = 0;
    uint8_t request[StartFileRead.requestBytes];
    put16(request, selector);
    putName(request + 2, kReadNameField, fileName);
    uint8_t area[kArea];
    uint32_t length = sizeof request;
    if (ask(StartFileRead, request, length, area, 4))
        return true;
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
    uint8_t request[ReadFile.requestBytes];
    put32(request, offset);
    put32(request + 4, n);
    uint8_t area[kBigArea];
    uint32_t length = sizeof request;
    if (ask(ReadFile, request, length, area, 0))
        return true;
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
    return ask(EndFileRead, nullptr, length, area, 1, true);
}

bool cUSB_CDC_Protocol::SendCommand7E()
{
    uint8_t area[kArea];
    uint32_t length = 0;
    return exchange(Command7E, nullptr, length, area);
}
