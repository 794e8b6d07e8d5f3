#include "raw_device.h"

#include "cdc_framing.h"
#include "sim_pty.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace devsim {

struct RawDevice::Impl
{
    SimPty pty;
    std::thread thread;
    std::atomic<bool> stop{false};
    mutable std::mutex m;
    mutable std::condition_variable changed;
    std::deque<Reply> replies;
    std::vector<std::string> requests;
    size_t repliesWritten = 0;

    void serve()
    {
        std::string pending;
        char buf[4096];
        while (!stop) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(pty.master(), buf, sizeof buf);
            if (n > 0)
                pending.append(buf, size_t(n));
            for (size_t end; (end = pending.find(char(cdc::kEnd))) != std::string::npos;) {
                Reply reply;
                {
                    std::lock_guard<std::mutex> lock(m);
                    requests.push_back(pending.substr(0, end + 1));
                    if (!replies.empty()) {
                        reply = replies.front();
                        replies.pop_front();
                    }
                }
                changed.notify_all();
                pending.erase(0, end + 1);
                for (const Piece& piece : reply) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(piece.delayMs));
                    pty.writeAll(reinterpret_cast<const uint8_t*>(piece.bytes.data()),
                                 piece.bytes.size(), 1000);
                }
                if (!reply.empty()) {
                    std::lock_guard<std::mutex> lock(m);
                    ++repliesWritten;
                }
                changed.notify_all();
            }
        }
    }
};

RawDevice::RawDevice() : d(new Impl)
{
    if (d->pty.open())
        d->thread = std::thread([this] { d->serve(); });
}

RawDevice::~RawDevice()
{
    hangUp();
}

bool RawDevice::isReady() const
{
    return d->pty.isOpen();
}

std::string RawDevice::portPath() const
{
    return d->pty.slavePath();
}

void RawDevice::queueReply(const Reply& reply)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->replies.push_back(reply);
}

std::vector<std::string> RawDevice::requests() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->requests;
}

bool RawDevice::waitForRequests(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return d->requests.size() >= n; });
}

bool RawDevice::waitForReplies(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return d->repliesWritten >= n; });
}

void RawDevice::hangUp()
{
    d->stop = true;
    if (d->thread.joinable())
        d->thread.join();
    d->pty.close();
}

} // namespace devsim
