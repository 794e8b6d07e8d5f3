#pragma once
#include <cstdint>
#include <string>

namespace devsim {

// Edits the extra-ports file that several simulated devices (in several processes) may share:
// under a lock on its folder, rewritten into a temporary file and renamed over the old one, so a
// reader always sees either the old or the new list. Lines of other ports are kept as they are.
// The line names the USB serial number and location when they are not empty.
bool addPortLine(const std::string& portsFile, const std::string& portPath, uint16_t vendorId,
                 const std::string& serial = std::string(),
                 const std::string& location = std::string());
bool removePortLine(const std::string& portsFile, const std::string& portPath);

} // namespace devsim
