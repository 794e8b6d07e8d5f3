// The simulated device's file system: files written and read in chunks, deleted, kept in a host
// folder, and never outside it.
#include "devsim_impl.h"

#include "cdc_commands.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim {

namespace {

// The largest chunk the tool can take: its big area less the header.
constexpr size_t kMaxReadChunk = cdc::kBigArea - cdc::kHeader;

// A fixed-width name field: up to its first NUL, never beyond the width.
std::string nameField(const uint8_t* p, size_t width)
{
    size_t n = 0;
    while (n < width && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Device paths stay inside the device's file system: relative, no "..", naming a file.
bool safeDevicePath(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.back() == '/')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    return true;
}

bool makeParents(const std::string& filePath)
{
    const size_t slash = filePath.rfind('/');
    return slash == std::string::npos || slash == 0 || makeDirs(filePath.substr(0, slash));
}

} // namespace

bool makeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Device::Impl::hostPath(const std::string& devicePath) const
{
    return cfg.fsRoot + "/" + devicePath;
}

void Device::Impl::closeFiles()
{
    if (writeFd >= 0)
        ::close(writeFd);
    if (readFd >= 0)
        ::close(readFd);
    writeFd = -1;
    readFd = -1;
}

uint8_t Device::Impl::startWrite(const uint8_t* p, size_t n)
{
    if (!cdc::requestFits(cdc::StartESP, n))
        return kMalformed;
    const std::string path = nameField(p + 4, cdc::kEspNameField);
    if (!safeDevicePath(path))
        return kHostError;
    if (writeFd >= 0)
        ::close(writeFd);
    writeFd = -1;
    const std::string full = hostPath(path);
    if (!makeParents(full))
        return kHostError;
    writeFd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (writeFd < 0)
        return kHostError;
    writeSize = cdc::get32(p);
    written = 0;
    return kOk;
}

uint8_t Device::Impl::writeChunk(const uint8_t* p, size_t n)
{
    if (!cdc::requestFits(cdc::WriteESP, n) || cdc::get32(p + 4) != n - cdc::WriteESP.requestBytes)
        return kMalformed;
    if (writeFd < 0)
        return kNothingOpen;
    const uint32_t offset = cdc::get32(p);
    const uint32_t count = cdc::get32(p + 4);
    if (offset != written)
        return kBadOffset;
    if (count > writeSize - written)
        return kSizeMismatch;
    if (::pwrite(writeFd, p + cdc::WriteESP.requestBytes, count, offset) !=
        static_cast<ssize_t>(count))
        return kHostError;
    written += count;
    return kOk;
}

uint8_t Device::Impl::endWrite()
{
    if (writeFd < 0)
        return kNothingOpen;
    ::close(writeFd);
    writeFd = -1;
    return written == writeSize ? kOk : kSizeMismatch;
}

uint8_t Device::Impl::deleteFile(const uint8_t* p, size_t n)
{
    if (!cdc::requestFits(cdc::DeleteESP, n))
        return kMalformed;
    const std::string path = nameField(p, cdc::kEspNameField);
    if (!safeDevicePath(path))
        return kHostError;
    return ::unlink(hostPath(path).c_str()) == 0 ? kOk : kNothingOpen;
}

int32_t Device::Impl::startRead(const uint8_t* p, size_t n)
{
    if (readFd >= 0)
        ::close(readFd);
    readFd = -1;
    if (!cdc::requestFits(cdc::StartFileRead, n))
        return -1;
    const std::string path = nameField(p + 2, cdc::kReadNameField);
    if (!safeDevicePath(path))
        return -1;
    const int fd = ::open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st
    {
    };
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
        ::close(fd);
        return -1;
    }
    readFd = fd;
    return static_cast<int32_t>(st.st_size);
}

void Device::Impl::readChunk(const uint8_t* p, size_t n, Bytes& out)
{
    const bool fits = cdc::requestFits(cdc::ReadFile, n);
    const uint32_t count = fits ? cdc::get32(p + 4) : 0;
    if (!fits || readFd < 0 || count > kMaxReadChunk) {
        out = {count == 1 ? kMalformed : kNothingOpen};
        if (count == 1)
            out.push_back(0);
        return;
    }
    out.resize(count);
    const ssize_t got = ::pread(readFd, out.data(), count, cdc::get32(p));
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
}

uint8_t Device::Impl::endRead()
{
    if (readFd < 0)
        return kNothingOpen;
    ::close(readFd);
    readFd = -1;
    return kOk;
}

} // namespace devsim
