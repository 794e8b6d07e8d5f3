#include "serial_registry_watch.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#ifndef REG_NOTIFY_THREAD_AGNOSTIC
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L
#endif

SerialRegistryWatch::SerialRegistryWatch()
{
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

SerialRegistryWatch::~SerialRegistryWatch()
{
    if (m_event)
        CloseHandle(static_cast<HANDLE>(m_event));
    if (m_key)
        RegCloseKey(static_cast<HKEY>(m_key));
}

bool SerialRegistryWatch::arm()
{
    if (m_key)
        RegCloseKey(static_cast<HKEY>(m_key));
    m_key = nullptr;
    if (!m_event)
        return false;
    // Opened afresh at every arming: a machine that had no serial port since boot has no
    // SERIALCOMM key, so its parent is watched until the key appears.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY,
                      &key) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP", 0, KEY_NOTIFY, &key) !=
            ERROR_SUCCESS)
        return false;
    m_key = key;
    ResetEvent(static_cast<HANDLE>(m_event));
    // Thread-agnostic: runs come and go on new threads, and the watch must outlive them.
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC;
    return RegNotifyChangeKeyValue(key, TRUE, filter, static_cast<HANDLE>(m_event), TRUE) ==
           ERROR_SUCCESS;
}

bool SerialRegistryWatch::changed()
{
    // Only a watch that is armed and plainly not signalled may say "unchanged": on any failure the
    // caller lists again rather than miss a port.
    if (m_armed && WaitForSingleObject(static_cast<HANDLE>(m_event), 0) == WAIT_TIMEOUT)
        return false;
    m_armed = arm();
    return true;
}
