#include "ports_file.h"

#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace devsim {
namespace {

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The port name of a line as the tool reads it: everything before the last field that is not
// key=value, trimmed.
std::string portOfLine(const std::string& line)
{
    const auto blank = [&](size_t at) {
        return std::isspace(static_cast<unsigned char>(line[at]));
    };
    size_t end = line.size();
    for (bool keyValue = true; keyValue;) {
        while (end > 0 && blank(end - 1))
            --end;
        const size_t fieldEnd = end;
        while (end > 0 && !blank(end - 1))
            --end;
        const size_t eq = line.find('=', end);
        keyValue = end > 0 && eq != std::string::npos && eq > end && eq < fieldEnd;
    }
    while (end > 0 && blank(end - 1))
        --end;
    size_t begin = 0;
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin])))
        ++begin;
    return line.substr(begin, end - begin);
}

class FolderLock
{
public:
    explicit FolderLock(const std::string& folder)
        : m_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (m_fd >= 0)
            flock(m_fd, LOCK_EX);
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    bool held() const { return m_fd >= 0; }

private:
    int m_fd;
};

bool rewrite(const std::string& portsFile, const std::string& portPath, const std::string* newLine)
{
    // Renamed over at the end: a device such as /dev/null given for "no extra ports" would be
    // replaced by a file.
    struct stat st
    {
    };
    if (portsFile.empty() || (::stat(portsFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
        return false;
    FolderLock lock(folderOf(portsFile));
    if (!lock.held())
        return false;

    std::vector<std::string> kept;
    bool found = false;
    {
        std::ifstream in(portsFile);
        std::string line;
        while (std::getline(in, line)) {
            if (portOfLine(line) == portPath)
                found = true;
            else
                kept.push_back(line);
        }
    }
    if (newLine)
        kept.push_back(*newLine);
    else if (!found)
        return true;

    const std::string temp = portsFile + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const std::string& line : kept)
            out << line << '\n';
        out.flush();
        if (!out) {
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), portsFile.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool addPortLine(const std::string& portsFile, const std::string& portPath, uint16_t vendorId,
                 const std::string& serial, const std::string& location)
{
    char id[8];
    std::snprintf(id, sizeof id, "0x%04x", vendorId);
    std::string line = portPath + " " + id;
    if (!serial.empty())
        line += " serial=" + serial;
    if (!location.empty())
        line += " location=" + location;
    return rewrite(portsFile, portPath, &line);
}

bool removePortLine(const std::string& portsFile, const std::string& portPath)
{
    return rewrite(portsFile, portPath, nullptr);
}

} // namespace devsim
