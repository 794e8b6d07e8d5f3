#pragma once
#include <QObject>
#include <QString>
#include <cstdint>

#include "serial_line.h"

// The device link: one serial port, CDC framing, the request/response exchange and the command set.
// Every operation returns true on failure (time-out included).
class cUSB_CDC_Protocol : public QObject
{
public:
    cUSB_CDC_Protocol();
    ~cUSB_CDC_Protocol() override;

    // Serial line and framing
    bool open(const QString& portName);
    void close();
    void closeIfOpen();
    bool portOpen() const { return m_portOpen; }
    bool writeFrame(uint8_t command, const uint8_t* payload, uint32_t length);
    bool readFrame(uint8_t command, uint8_t* area, size_t areaSize, uint32_t& frameLength);
    static void escapeBytes(uint8_t*& cursor, const uint8_t* bytes, size_t count);
    static bool unescapeFrame(uint8_t* out, size_t outCap, const uint8_t* in, size_t& count);

    // Exchange: sends the request (when the port is open) and reads until a frame of this command
    // arrives or the time-out expires. length: request payload length in, response frame length out.
    bool exchange(uint8_t command, const uint8_t* request, uint32_t& length, uint8_t* response,
                  size_t responseSize, uint32_t timeoutMs);

    // Command set
    bool SendGetVersion(QString& text);
    bool SendStartESP(const QString& fileName, uint32_t fileSize);
    bool SendWriteESP(uint32_t offset, const uint8_t* data, uint32_t n);
    bool SendEndESP();
    bool SendDeleteESP(const QString& fileName);
    bool SendSetDeviceID(quint64& deviceId);
    bool SendReboot();
    bool SendLeaveBootloader();
    bool SendGetMACs(uint8_t wifiMac[6], uint8_t ethernetMac[6]);
    bool SendGetDeviceID(quint64& deviceId);
    bool SendQueryVersion(QString& text);
    bool SendGetStatusWord(quint32& value);
    // length: the caller's buffer size in (the bound), the value's length out.
    bool SendGetParameter(quint16 id, uint8_t* data, quint16& length);
    bool SendSetParameter(quint16 id, const uint8_t* data, quint16 n);
    bool SendGetInfoBlock(uint8_t block[200]);
    bool SendGetRecord(quint16 a, quint16 b, uint8_t record[24]);
    bool SendStartFileRead(quint16 selector, const QString& fileName, quint32& size);
    bool SendReadFile(quint32 offset, uint8_t* data, quint32 n);
    bool SendEndFileRead();
    bool SendCommand7E();

    bool versionReported() const { return m_versionReported; }

    // Test hook: caps every command's time-out (0: no cap) so failure paths run quickly.
    void setTimeoutLimitMs(uint32_t ms) { m_timeoutLimitMs = ms; }

private:
    bool queryVersion(uint8_t command, uint32_t timeoutMs, QString& text);

    SerialLine m_line;
    bool m_portOpen = false;
    bool m_versionReported = false;
    uint32_t m_timeoutLimitMs = 0;
};
