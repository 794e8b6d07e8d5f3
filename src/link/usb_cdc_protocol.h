#pragma once
#include <QObject>
#include <QString>
#include <cstdint>

#include "frame_reader.h"
#include "serial_line.h"
#include "stop_token.h"

namespace cdc {
struct Command;
}

// The device link: one serial port, CDC framing, the request/response exchange and the command set.
// Every operation returns true on failure (time-out and stop included); a caller that drops the
// result says why.
class cUSB_CDC_Protocol : public QObject
{
public:
    cUSB_CDC_Protocol();
    ~cUSB_CDC_Protocol() override;

    // Serial line and framing
    [[nodiscard]] bool open(const QString& portName);
    void close();
    void closeIfOpen();
    bool portOpen() const { return m_portOpen; }
    // Why the last open() failed.
    SerialLine::OpenFailure openFailure() const { return m_line.openFailure(); }
    [[nodiscard]] bool writeFrame(uint8_t command, const uint8_t* payload, uint32_t length);
    // Takes the next whole frame, reading the line for at most one read window when none is
    // buffered; fails when none is complete yet or it answers another command.
    [[nodiscard]] bool readFrame(uint8_t command, uint8_t* area, size_t areaSize,
                                 uint32_t& frameLength);
    // The framing operations of cdc_framing.h, kept under the link's name for callers that think
    // of the link as the whole; the link itself calls cdc:: directly.
    static void escapeBytes(uint8_t*& cursor, const uint8_t* bytes, size_t count);
    [[nodiscard]] static bool unescapeFrame(uint8_t* out, size_t outCap, const uint8_t* in,
                                            size_t& count);

    // Exchange: drops input left from earlier exchanges, sends the request (when the port is
    // open) and reads until a frame of this command arrives, the time-out expires or the run is
    // stopped. length: request payload length in, response frame length out.
    [[nodiscard]] bool exchange(uint8_t command, const uint8_t* request, uint32_t& length,
                                uint8_t* response, size_t responseSize, uint32_t timeoutMs);

    // Command set
    [[nodiscard]] bool SendGetVersion(QString& text);
    [[nodiscard]] bool SendStartESP(const QString& fileName, uint32_t fileSize);
    [[nodiscard]] bool SendWriteESP(uint32_t offset, const uint8_t* data, uint32_t n);
    [[nodiscard]] bool SendEndESP();
    [[nodiscard]] bool SendDeleteESP(const QString& fileName);
    [[nodiscard]] bool SendSetDeviceID(quint64& deviceId);
    [[nodiscard]] bool SendReboot();
    [[nodiscard]] bool SendLeaveBootloader();
    [[nodiscard]] bool SendGetMACs(uint8_t wifiMac[6], uint8_t ethernetMac[6]);
    [[nodiscard]] bool SendGetDeviceID(quint64& deviceId);
    [[nodiscard]] bool SendQueryVersion(QString& text);
    [[nodiscard]] bool SendGetStatusWord(quint32& value);
    // length: the caller's buffer size in (the bound), the value's length out.
    [[nodiscard]] bool SendGetParameter(quint16 id, uint8_t* data, quint16& length);
    [[nodiscard]] bool SendSetParameter(quint16 id, const uint8_t* data, quint16 n);
    [[nodiscard]] bool SendGetInfoBlock(uint8_t block[200]);
    [[nodiscard]] bool SendGetRecord(quint16 a, quint16 b, uint8_t record[24]);
    [[nodiscard]] bool SendStartFileRead(quint16 selector, const QString& fileName, quint32& size);
    [[nodiscard]] bool SendReadFile(quint32 offset, uint8_t* data, quint32 n);
    [[nodiscard]] bool SendEndFileRead();
    [[nodiscard]] bool SendCommand7E();

    bool versionReported() const { return m_versionReported; }

    // The run's stop: once it is set every exchange fails at once, unsent, so a stopped run never
    // waits out a command's time-out. The token must outlive the link's use of it.
    void setStopToken(const StopToken& stop) { m_stop = &stop; }
    bool stopped() const { return m_stop->stopped(); }

    // Test hooks: caps every command's time-out (0: no cap) so failure paths run quickly, and
    // tells the time-out the last exchange was given before the cap.
    void setTimeoutLimitMs(uint32_t ms) { m_timeoutLimitMs = ms; }
    uint32_t lastTimeoutMs() const { return m_lastTimeoutMs; }

private:
    // One exchange of a table command with its own time-out and area.
    bool exchange(const cdc::Command& c, const uint8_t* request, uint32_t& length, uint8_t* area);
    // The one status check: the exchange failed, the answer is shorter than the fieldBytes the
    // command reads, or (resultByte) its payload byte 0 is not 0. Writes the command's
    // diagnostics when it has any.
    bool failed(const cdc::Command& c, bool exchangeFailed, const uint8_t* area, uint32_t length,
                size_t fieldBytes, bool resultByte = false) const;
    // exchange() of a table command, then the status check.
    bool ask(const cdc::Command& c, const uint8_t* request, uint32_t& length, uint8_t* area,
             size_t fieldBytes, bool resultByte = false);
    bool queryVersion(const cdc::Command& c, QString& text);

    SerialLine m_line;
    FrameReader m_reader;
    bool m_portOpen = false;
    bool m_versionReported = false;
    const StopToken* m_stop = &StopToken::never();
    uint32_t m_timeoutLimitMs = 0;
    uint32_t m_lastTimeoutMs = 0;
    int m_readWaitMs = SerialLine::kReadWindowMs; // a read never waits past the deadline
};
