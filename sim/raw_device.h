#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace devsim {

// A device that answers with scripted line bytes instead of the protocol, for the link's own
// tests: each request (the bytes up to an END byte) takes the next queued reply, written in
// pieces with a pause before each; with none queued it stays silent. Its port is a
// pseudo-terminal of its own, listed nowhere.
class RawDevice
{
public:
    struct Piece
    {
        std::string bytes;
        int delayMs = 0; // waited before the piece is written
    };
    using Reply = std::vector<Piece>;

    RawDevice();
    ~RawDevice(); // hangs up
    RawDevice(const RawDevice&) = delete;
    RawDevice& operator=(const RawDevice&) = delete;

    bool isReady() const;
    std::string portPath() const; // the tool's end, /dev/pts/N

    void queueReply(const Reply& reply);
    void queueReply(const std::string& bytes) { queueReply(Reply{{bytes, 0}}); }

    // The requests as they came, END byte included.
    std::vector<std::string> requests() const;
    // Bounded waits for the n-th request to arrive and the n-th reply to be written whole.
    bool waitForRequests(size_t n, int timeoutMs) const;
    bool waitForReplies(size_t n, int timeoutMs) const;

    // The device is gone: its end closes and the tool's line hangs up.
    void hangUp();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace devsim
