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

constexpr uint8_t kEndByte = 0xC0;
// A write that makes no progress for this long has lost its peer; the exchange then times out
// instead of hanging the run forever.
constexpr int kWriteStallMs = 2000;

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
    if (d->fd >= 0 || name.empty())
        return false;
    const int fd = ::open(devicePath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // TIOCEXCL alone does not stop root; the lock refuses a second open by anyone who asks.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return false;
    }
    termios tio;
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

size_t SerialLine::write(const uint8_t* data, size_t n)
{
    if (d->fd < 0)
        return 0;
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(d->fd, data + done, n - done);
        if (r > 0) {
            done += size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            break;
        pollfd p{d->fd, POLLOUT, 0};
        const int pr = poll(&p, 1, kWriteStallMs);
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            break;
    }
    return done;
}

long SerialLine::read(uint8_t* buf, size_t cap)
{
    const int64_t end = nowNs() + int64_t(kReadWindowMs) * 1000000;
    if (d->fd < 0) {
        sleepUntil(end);
        return -1;
    }
    size_t got = 0;
    while (got < cap) {
        const int64_t left = end - nowNs();
        if (left <= 0)
            break;
        pollfd p{d->fd, POLLIN, 0};
        const timespec ts = toTimespec(left);
        const int pr = ppoll(&p, 1, &ts, nullptr);
        if (pr == 0)
            break;
        if (pr < 0) {
            if (errno == EINTR)
                continue;
            sleepUntil(end);
            return got ? long(got) : -1;
        }
        bool dead = !(p.revents & POLLIN);
        if (!dead) {
            const ssize_t r = ::read(d->fd, buf + got, cap - got);
            if (r > 0) {
                const bool sawEnd = memchr(buf + got, kEndByte, size_t(r)) != nullptr;
                got += size_t(r);
                if (sawEnd)
                    return long(got);
                continue;
            }
            dead = r == 0 || (errno != EAGAIN && errno != EINTR);
        }
        if (dead) {
            sleepUntil(end);
            return got ? long(got) : -1;
        }
    }
    return long(got);
}
