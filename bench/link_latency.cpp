// Round trip and bulk download speed of the device link on a pseudo-terminal, against a peer that
// answers at once, compared with a bare stop-and-wait loop on the descriptors (the floor); then
// answers delivered as USB delivers them, which must all arrive.
#include "cdc_framing.h"
#include "usb_cdc_protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChunks = 2048;
constexpr int kChunkSize = 512;
constexpr int kRoundTrips = 1000;
constexpr int kRounds = 7;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void writeAll(int fd, const uint8_t* data, size_t n)
{
    while (n) {
        const ssize_t w = ::write(fd, data, n);
        if (w <= 0)
            return;
        data += w;
        n -= size_t(w);
    }
}

// The device side on a thread of its own: hands every request (its bytes up to the END byte) to
// answer() until destroyed, or until answer() returns false.
class Peer
{
public:
    using Answer = std::function<bool(int master, const std::vector<uint8_t>& request)>;
    Peer(int master, Answer answer)
        : m_master(master), m_answer(std::move(answer)), m_thread([this] { run(); })
    {
    }
    ~Peer()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        std::vector<uint8_t> request;
        uint8_t buf[4096];
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                request.push_back(buf[i]);
                if (buf[i] != 0xC0)
                    continue;
                const bool goOn = m_answer(m_master, request);
                request.clear();
                if (!goOn)
                    return;
            }
        }
    }

    int m_master;
    Answer m_answer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Answers every request by its command byte; does nothing else.
bool answerAtOnce(int master, const std::vector<uint8_t>& request)
{
    static const uint8_t version[] = {0x08, 0x00, 0x01, 'F', 'W', ' ', '3', '.', '2', 0x00, 0xC0};
    static const uint8_t accepted[] = {0x02, 0x00, 0x03, 0x00, 0xC0};
    if (request.size() > 2 && request[2] == 0x01)
        writeAll(master, version, sizeof version);
    else
        writeAll(master, accepted, sizeof accepted);
    return true;
}

int openMaster(std::string& slave);

// The data of the chunk at this offset, with plenty of bytes that need escaping.
std::vector<uint8_t> chunkAt(uint32_t offset)
{
    std::vector<uint8_t> data(kChunkSize);
    std::mt19937 rng(offset);
    for (auto& b : data) {
        const uint32_t r = rng();
        b = r % 8 == 0 ? 0xC0 : r % 8 == 1 ? 0xDB : uint8_t(r >> 8);
    }
    return data;
}

// Answers every SendReadFile of 512 bytes as a full-speed USB device would: after a delay at a
// random phase against the read window, in 64-byte packets with random gaps of 0 to 300 us.
Peer::Answer usbAnswers()
{
    auto rng = std::make_shared<std::mt19937>(7);
    return [rng](int master, const std::vector<uint8_t>& request) {
        uint8_t frame[64];
        size_t count = request.size();
        if (cdc::unescapeFrame(frame, sizeof frame, request.data(), count) || count != 11)
            return true;
        const uint32_t offset = uint32_t(frame[3] | frame[4] << 8 | frame[5] << 16 | frame[6] << 24);
        const std::vector<uint8_t> data = chunkAt(offset);
        std::vector<uint8_t> answer(cdc::kMaxEncodedArea);
        answer.resize(cdc::encodeFrame(answer.data(), 0x13, data.data(), data.size()));
        std::this_thread::sleep_for(std::chrono::microseconds((*rng)() % 10000));
        for (size_t at = 0; at < answer.size(); at += 64) {
            if (at)
                std::this_thread::sleep_for(std::chrono::microseconds((*rng)() % 301));
            const size_t piece = std::min<size_t>(64, answer.size() - at);
            if (::write(master, answer.data() + at, piece) != ssize_t(piece))
                return false;
        }
        return true;
    };
}

// (d): exchanges of 512-byte answers delivered as USB delivers them; every one must arrive whole.
int usbRun(int exchanges)
{
    std::string slave;
    const int master = openMaster(slave);
    if (master < 0)
        return -1;
    int lost = 0;
    {
        Peer answerer(master, usbAnswers());
        cUSB_CDC_Protocol link;
        if (link.open(QString::fromStdString(slave)))
            return -1;
        // A lost answer costs its time-out only once; the count is what matters.
        link.setTimeoutLimitMs(100);
        std::vector<uint8_t> data(kChunkSize);
        const auto start = Clock::now();
        for (int i = 0; i < exchanges; ++i) {
            const uint32_t offset = uint32_t(i) * kChunkSize;
            if (link.SendReadFile(offset, data.data(), kChunkSize) ||
                data != chunkAt(offset))
                ++lost;
        }
        std::printf("(d) %d SendReadFile answers of %d bytes in 64-byte packets, 0-300 us apart, "
                    "random phase: %d lost (goal 0), %.1f s\n",
                    exchanges, kChunkSize, lost, msSince(start) / 1000);
    }
    ::close(master);
    return lost;
}

int openMaster(std::string& slave)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    slave = ptsname(master);
    return master;
}

// The floor: write a ready frame, block until the END byte of the answer, repeat.
double bareLoop(const std::string& slave, const std::vector<std::vector<uint8_t>>& frames)
{
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    uint8_t buf[2048];
    const auto start = Clock::now();
    for (const auto& frame : frames) {
        if (::write(fd, frame.data(), frame.size()) != ssize_t(frame.size()))
            break;
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0 || memchr(buf, 0xC0, size_t(n)))
                break;
        }
    }
    const double ms = msSince(start);
    ::close(fd);
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    // link_latency [USB exchanges]: 0 skips the USB run.
    const int usbExchanges = argc > 1 ? std::atoi(argv[1]) : 10000;
    // A lost answer's time-out diagnostics would drown the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    std::string slave;
    const int master = openMaster(slave);
    if (master < 0) {
        std::fprintf(stderr, "link_latency: no pseudo-terminal\n");
        return 1;
    }
    // A holder keeps the pair alive between the link's close and the bare loop's open.
    const int holder = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);

    std::mt19937 rng(1);
    std::vector<std::vector<uint8_t>> chunks(kChunks, std::vector<uint8_t>(kChunkSize));
    for (auto& chunk : chunks)
        for (auto& b : chunk)
            b = uint8_t(rng());
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kChunks; ++i) {
        uint8_t payload[8 + kChunkSize];
        const uint32_t offset = uint32_t(i) * kChunkSize;
        for (int k = 0; k < 4; ++k) {
            payload[k] = uint8_t(offset >> (8 * k));
            payload[4 + k] = uint8_t(uint32_t(kChunkSize) >> (8 * k));
        }
        memcpy(payload + 8, chunks[size_t(i)].data(), kChunkSize);
        std::vector<uint8_t> frame(cdc::kMaxEncoded);
        frame.resize(cdc::encodeFrame(frame.data(), 0x03, payload, sizeof payload));
        frames.push_back(std::move(frame));
    }

    auto answerer = std::make_unique<Peer>(master, answerAtOnce);
    // Rounds alternate the link and the floor so both see the same machine load.
    std::vector<double> medians, writes, floors;
    for (int round = 0; round < kRounds; ++round) {
        cUSB_CDC_Protocol link;
        if (link.open(QString::fromStdString(slave))) {
            std::fprintf(stderr, "link_latency: cannot open %s\n", slave.c_str());
            return 1;
        }
        QString text;
        std::vector<double> trips;
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            if (link.SendGetVersion(text)) {
                std::fprintf(stderr, "link_latency: SendGetVersion failed\n");
                return 1;
            }
            trips.push_back(msSince(start));
        }
        std::sort(trips.begin(), trips.end());
        medians.push_back(trips[trips.size() / 2]);

        const auto start = Clock::now();
        for (int i = 0; i < kChunks; ++i) {
            if (link.SendWriteESP(uint32_t(i) * kChunkSize, chunks[size_t(i)].data(), kChunkSize)) {
                std::fprintf(stderr, "link_latency: SendWriteESP failed at chunk %d\n", i);
                return 1;
            }
        }
        writes.push_back(msSince(start));
        link.close();
        floors.push_back(bareLoop(slave, frames));
    }

    const double median = medianOf(medians);
    const double writeMs = medianOf(writes);
    const double floorMs = medianOf(floors);
    std::printf("(a) SendGetVersion round trip: median %.3f ms (%d rounds of %d trips)\n", median,
                kRounds, kRoundTrips);
    std::printf("(b) %d SendWriteESP chunks of %d bytes: %.1f ms (%.1f us per chunk)\n", kChunks,
                kChunkSize, writeMs, writeMs * 1000 / kChunks);
    std::printf("(c) bare stop-and-wait loop, same chunks: %.1f ms (%.1f us per chunk)\n", floorMs,
                floorMs * 1000 / kChunks);
    std::printf("(b)/(c) = %.2f (goal <= 1.5); (a) goal < 0.3 ms\n", writeMs / floorMs);
    std::printf("medians of %d rounds; per round (b)/(c):", kRounds);
    for (int i = 0; i < kRounds; ++i)
        std::printf(" %.2f", writes[size_t(i)] / floors[size_t(i)]);
    std::printf("\n");
    answerer.reset();
    if (holder >= 0)
        ::close(holder);
    ::close(master);
    return usbExchanges > 0 && usbRun(usbExchanges) != 0 ? 1 : 0;
}
