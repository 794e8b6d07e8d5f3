#pragma once

// Windows: tells whether the serial-port registry key (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), which
// gains and loses a value as COM ports come and go, may have changed since the last call. Kept
// free of Qt so the Wine check builds it with a bare cross compiler.
class SerialRegistryWatch
{
public:
    SerialRegistryWatch();
    ~SerialRegistryWatch();
    SerialRegistryWatch(const SerialRegistryWatch&) = delete;
    SerialRegistryWatch& operator=(const SerialRegistryWatch&) = delete;

    // True when the key changed since the last call, and always when notifications are
    // unavailable (the caller then lists every time).
    bool changed();

private:
    bool arm();

    void* m_key = nullptr;
    void* m_event = nullptr;
    bool m_armed = false;
};
