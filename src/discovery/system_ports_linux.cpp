#include "system_ports.h"

#include <QFile>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A small sysfs attribute's text without its line end; empty when absent.
std::string attribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    char text[256];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    std::string value(text, size_t(n > 0 ? n : 0));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

// The vendor id of the nearest USB device at or above this device folder, with its serial number
// (where it has one) and its location: the USB device folder's own name is its hub port path.
bool usbDeviceAbove(std::string dir, const std::string& devicesRoot, PortEntry& entry)
{
    while (dir.size() > devicesRoot.size() && dir.compare(0, devicesRoot.size(), devicesRoot) == 0) {
        if (::access((dir + "/idVendor").c_str(), F_OK) == 0) {
            const std::string text = attribute(dir + "/idVendor");
            char* end = nullptr;
            const unsigned long value = std::strtoul(text.c_str(), &end, 16);
            if (text.empty() || end == text.c_str() || value > 0xFFFF)
                return false;
            entry.vendorId = quint16(value);
            entry.serialNumber = QString::fromUtf8(attribute(dir + "/serial").c_str());
            entry.location = QFile::decodeName(dir.substr(dir.rfind('/') + 1).c_str());
            return true;
        }
        dir.resize(dir.rfind('/'));
    }
    return false;
}

} // namespace

QList<PortEntry> sysfsPorts(const QString& sysRoot)
{
    const std::string root = QFile::encodeName(sysRoot).toStdString();
    const std::string classDir = root + "/class/tty";
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir)
        return {};
    // Most ttys are virtual (consoles, pseudo-terminals); their link says so without a lookup.
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(::dirfd(dir), e->d_name, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (std::strstr(target, "/virtual/"))
                continue;
        }
        names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    char real[PATH_MAX];
    if (!::realpath((root + "/devices").c_str(), real))
        return {};
    const std::string devicesRoot = real;
    QList<PortEntry> entries;
    for (const std::string& name : names) {
        if (!::realpath((classDir + "/" + name + "/device").c_str(), real))
            continue;
        PortEntry entry;
        entry.name = QFile::decodeName(name.c_str());
        entry.hasVendorId = usbDeviceAbove(real, devicesRoot, entry);
        entries.append(entry);
    }
    return entries;
}

QList<PortEntry> systemPorts()
{
    return sysfsPorts(QStringLiteral("/sys"));
}
