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

// The vendor id of the nearest USB device at or above this device folder.
bool usbVendorAbove(std::string dir, const std::string& devicesRoot, quint16& vendorId)
{
    while (dir.size() > devicesRoot.size() && dir.compare(0, devicesRoot.size(), devicesRoot) == 0) {
        const int fd = ::open((dir + "/idVendor").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char text[16] = {};
            const ssize_t n = ::read(fd, text, sizeof text - 1);
            ::close(fd);
            char* end = nullptr;
            const unsigned long value = n > 0 ? std::strtoul(text, &end, 16) : 0;
            if (n <= 0 || end == text || value > 0xFFFF)
                return false;
            vendorId = quint16(value);
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
        entry.hasVendorId = usbVendorAbove(real, devicesRoot, entry.vendorId);
        entries.append(entry);
    }
    return entries;
}

QList<PortEntry> systemPorts()
{
    return sysfsPorts(QStringLiteral("/sys"));
}
