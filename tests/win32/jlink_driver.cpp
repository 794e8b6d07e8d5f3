// Prints the J-Link commander that the registry lookup finds, or "none", for the Wine check.
// Plain C++ without Qt, cross-compiled with mingw.
#include "jlink_install.h"

#include <cstdio>

int main()
{
    const std::wstring program = installedJLinkCommander();
    for (const wchar_t c : program)
        std::putchar(c < 0x80 ? char(c) : '?');
    std::puts(program.empty() ? "none" : "");
    return 0;
}
