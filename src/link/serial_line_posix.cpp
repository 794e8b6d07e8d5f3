#include "serial_line.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

timespec toTimespec(int64_t ns)
{
    timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return ts;
}

// A dead line answers poll at once; sleeping out the window keeps a caller's loop from spinning.
void sleepUntil(int64_t endNs)
{
    const timespec ts = toTimespec(endNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

SerialLine::OpenFailure openFailureOf(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return SerialLine::OpenFailure::AccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return SerialLine::OpenFailure::Absent;
    case EBUSY:
        return SerialLine::OpenFailure::InUse;
    default:
        return SerialLine::OpenFailure::Other;
    }
}

std::string devicePath(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    return "/dev/" + name;
}

} // namespace

struct SerialLine::Impl
{
    int fd = -1;
    termios saved{};
};

SerialLine::SerialLine() : d(new Impl) {}

SerialLine::~SerialLine()
{
    close();
    delete d;
}

bool SerialLine::open(const std::string& name)
{
    if (d->fd >= 0 || name.empty()) {
        m_openFailure = name.empty() ? OpenFailure::Absent : OpenFailure::InUse;
        return false;
    }
    const int fd = ::open(devicePath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_openFailure = openFailureOf(errno);
        return false;
    }
    // TIOCEXCL alone does not stop root; the lock refuses a second open by anyone who asks.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        m_openFailure = isatty(fd) ? OpenFailure::InUse : OpenFailure::NotSerial;
        ::close(fd);
        return false;
    }
    termios tio;
    m_openFailure = OpenFailure::Other;
    if (tcgetattr(fd, &d->saved) != 0) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return false;
    }
    tio = d->saved;
    cfmakeraw(&tio);
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_iflag |= IGNBRK;
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return false;
    }
    // Pseudo-terminals have no modem lines; the device's firmware waits for DTR on a real port.
    const int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &dtr);
    d->fd = fd;
    m_openFailure = OpenFailure::None;
    return true;
}

void SerialLine::close()
{
    if (d->fd < 0)
        return;
    tcsetattr(d->fd, TCSANOW, &d->saved);
    // The exclusive flag stays on the tty after close; clear it so the port can be opened again.
    ioctl(d->fd, TIOCNXCL);
    ::close(d->fd);
    d->fd = -1;
}

bool SerialLine::isOpen() const
{
    return d->fd >= 0;
}

size_t SerialLine::write(const uint8_t* data, size_t n, const StopToken& stop)
{
    if (d->fd < 0)
        return 0;
    size_t done = 0;
    // A write that makes no progress for kWriteStallMs has lost its peer; the exchange then
    // times out instead of hanging the run for ever. It waits in read windows so a stop is seen.
    int64_t stallEnd = nowNs() + int64_t(kWriteStallMs) * 1000000;
    while (done < n) {
        if (stop.stopped())
            break;
        const ssize_t r = ::write(d->fd, data + done, n - done);
        if (r > 0) {
            done += size_t(r);
            stallEnd = nowNs() + int64_t(kWriteStallMs) * 1000000;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if ((r < 0 && errno != EAGAIN) || nowNs() >= stallEnd)
            break;
        pollfd p{d->fd, POLLOUT, 0};
        const int pr = poll(&p, 1, kReadWindowMs);
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            break;
    }
    return done;
}

long SerialLine::read(uint8_t* buf, size_t cap, int waitMs)
{
    const int64_t end = nowNs() + int64_t(waitMs > 0 ? waitMs : 0) * 1000000;
    if (d->fd < 0) {
        sleepUntil(end);
        return -1;
    }
    for (;;) {
        pollfd p{d->fd, POLLIN, 0};
        const int64_t left = end - nowNs();
        const timespec ts = toTimespec(left > 0 ? left : 0);
        const int pr = ppoll(&p, 1, &ts, nullptr);
        if (pr == 0)
            return 0;
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr > 0 && (p.revents & POLLIN)) {
            const ssize_t r = ::read(d->fd, buf, cap);
            if (r > 0)
                return long(r);
            if (r < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        // Hung up or failed: a pulled cable, a vanished pseudo-terminal.
        sleepUntil(end);
        return -1;
    }
}

void SerialLine::discardInput()
{
    if (d->fd >= 0)
        tcflush(d->fd, TCIFLUSH);
}
