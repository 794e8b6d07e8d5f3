#include "link_pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
        ::close(master);
        return;
    }
    m_slavePath = QString::fromLocal8Bit(ptsname(master));
    m_holder = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_holder < 0) {
        ::close(master);
        return;
    }
    m_master = master;
    m_thread = std::thread([this] { run(); });
}

PtyPeer::~PtyPeer()
{
    hangUp();
    if (m_holder >= 0)
        ::close(m_holder);
}

void PtyPeer::queueReply(const QList<Piece>& pieces)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.append(pieces);
}

void PtyPeer::send(const QByteArray& bytes)
{
    writeOut(bytes);
}

QList<QByteArray> PtyPeer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool PtyPeer::waitForRequests(int n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= n; });
}

void PtyPeer::hangUp()
{
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void PtyPeer::writeOut(const QByteArray& bytes)
{
    const int step = m_byteAtATime ? 1 : bytes.size();
    for (int at = 0; at < bytes.size();) {
        const ssize_t r = ::write(m_master, bytes.constData() + at, size_t(std::min(step, bytes.size() - at)));
        if (r > 0)
            at += int(r);
        else if (r < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

void PtyPeer::run()
{
    QByteArray pending;
    char buf[4096];
    while (!m_stop) {
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            continue;
        pending.append(buf, int(n));
        int end;
        while ((end = pending.indexOf('\xC0')) >= 0) {
            QList<Piece> reply;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.append(pending.left(end + 1));
                if (!m_replies.isEmpty())
                    reply = m_replies.takeFirst();
            }
            m_changed.notify_all();
            pending.remove(0, end + 1);
            for (const Piece& piece : reply) {
                if (piece.delayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(piece.delayMs));
                writeOut(piece.bytes);
            }
        }
    }
}
