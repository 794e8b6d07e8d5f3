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
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY, &key)
        != ERROR_SUCCESS)
        return;
    m_key = key;
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
    if (!m_key || !m_event)
        return false;
    ResetEvent(static_cast<HANDLE>(m_event));
    // Thread-agnostic: runs come and go on new threads, and the watch must outlive them.
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC;
    return RegNotifyChangeKeyValue(static_cast<HKEY>(m_key), TRUE, filter,
                                   static_cast<HANDLE>(m_event), TRUE)
           == ERROR_SUCCESS;
}

bool SerialRegistryWatch::changed()
{
    if (!m_armed) {
        m_armed = arm();
        return true;
    }
    if (WaitForSingleObject(static_cast<HANDLE>(m_event), 0) != WAIT_OBJECT_0)
        return false;
    m_armed = arm();
    return true;
}
