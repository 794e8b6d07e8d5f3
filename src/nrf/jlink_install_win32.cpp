#include "jlink_install.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

std::wstring recordedFolder(HKEY root, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, L"Software\\SEGGER\\J-Link", 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS)
        return {};
    std::wstring folder;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"InstallPath", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ && size > 0) {
        folder.resize(size / sizeof(wchar_t) + 1);
        if (RegQueryValueExW(key, L"InstallPath", nullptr, &type,
                             reinterpret_cast<BYTE*>(&folder[0]), &size) != ERROR_SUCCESS)
            size = 0;
        // The stored string may or may not carry its terminating zero.
        folder.resize(size / sizeof(wchar_t));
        while (!folder.empty() && folder.back() == L'\0')
            folder.pop_back();
    }
    RegCloseKey(key);
    return folder;
}

} // namespace

std::wstring installedJLinkCommander()
{
    // A 32-bit installer on a 64-bit Windows writes the machine's key in the 32-bit view.
    const struct
    {
        HKEY root;
        REGSAM view;
    } places[] = {{HKEY_CURRENT_USER, 0},
                  {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
                  {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY}};
    for (const auto& place : places) {
        std::wstring program = recordedFolder(place.root, place.view);
        if (program.empty())
            continue;
        if (program.back() != L'\\' && program.back() != L'/')
            program += L'\\';
        program += L"JLink.exe";
        const DWORD attributes = GetFileAttributesW(program.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return program;
    }
    return {};
}
