#pragma once
#include <string>

// Windows: the commander JLink.exe of the J-Link software installed on this PC, found through the
// install folder that SEGGER's installer records as InstallPath under Software\SEGGER\J-Link (the
// user's, then the machine's); empty when none is recorded or the folder holds no JLink.exe. The
// PATH is never searched: a JDK puts a jlink.exe of its own there. Kept free of Qt so the Wine
// check builds it with a bare cross compiler.
std::wstring installedJLinkCommander();
