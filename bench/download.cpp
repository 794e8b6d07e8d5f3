// Measures what the download path costs over the bare protocol: the same 4 MiB in 512-byte
// SendWriteESP chunks, once through FileLoader_c and once as a minimal stop-and-wait loop on the
// raw pty, both against the same simulated device.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "cdc_framing.h"
#include "devsim.h"
#include "file_loader.h"
#include "logger.h"
#include "usb_cdc_protocol.h"

namespace {
constexpr int kSize = 4 * 1024 * 1024;
constexpr int kChunk = 512;

// One request and its response on a raw descriptor; false on a bad or missing answer.
bool exchangeRaw(int fd, uint8_t command, const uint8_t* payload, size_t n)
{
    uint8_t encoded[cdc::kMaxEncoded];
    const size_t length = cdc::encodeFrame(encoded, command, payload, n);
    if (::write(fd, encoded, length) != ssize_t(length))
        return false;
    uint8_t raw[2048];
    size_t got = 0;
    while (got == 0 || raw[got - 1] != cdc::kEnd) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t r = ::read(fd, raw + got, sizeof raw - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    uint8_t frame[2048];
    size_t count = got;
    return !cdc::unescapeFrame(frame, sizeof frame, raw, count) && count >= 4 &&
           frame[2] == command && frame[3] == 0;
}

double bareLoop(const std::string& port, const QByteArray& content)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);

    QElapsedTimer timer;
    timer.start();
    uint8_t start[36] = {};
    const uint32_t size = uint32_t(content.size());
    memcpy(start, &size, 4);
    memcpy(start + 4, "bare.bin", 8);
    bool ok = exchangeRaw(fd, 0x02, start, sizeof start);
    uint8_t request[8 + kChunk];
    for (uint32_t offset = 0; ok && offset < size; offset += kChunk) {
        const uint32_t n = std::min<uint32_t>(kChunk, size - offset);
        memcpy(request, &offset, 4);
        memcpy(request + 4, &n, 4);
        memcpy(request + 8, content.constData() + offset, n);
        ok = exchangeRaw(fd, 0x03, request, 8 + n);
    }
    ok = ok && exchangeRaw(fd, 0x04, nullptr, 0);
    const double ms = timer.nsecsElapsed() / 1e6;
    ::close(fd);
    return ok ? ms : -1;
}

double loaderRun(const std::string& port, const QString& folder)
{
    cUSB_CDC_Protocol link;
    if (link.open(QString::fromStdString(port)))
        return -1;
    Logger_c logger;
    FileLoader_c loader(&link, {{"/Production/config.bin", 0}}, folder, &logger);
    QElapsedTimer timer;
    timer.start();
    loader.doWork();
    const double ms = timer.nsecsElapsed() / 1e6;
    return loader.lastRunSucceeded() ? ms : -1;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    QTemporaryDir dir;
    const QString folder = dir.path() + "/flash/";
    QDir().mkpath(folder);
    QByteArray content(kSize, '\0');
    for (int i = 0; i < kSize; ++i)
        content[i] = char((i * 131 + (i >> 9)) & 0xFF);
    QFile file(folder + "config.bin");
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != kSize)
        return 1;
    file.close();

    devsim::Config config;
    config.dir = dir.path().toStdString();
    config.portsFile = (dir.path() + "/ports").toStdString();
    config.fsRoot = (dir.path() + "/fs").toStdString();
    devsim::Device device(config);
    if (!device.start())
        return 1;

    // Interleaved rounds; the best and the median of each are reported, since other load on the
    // machine only ever adds time.
    std::vector<double> bare, loader;
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(bareLoop(device.portPath(), content));
        loader.push_back(loaderRun(device.portPath(), folder));
        if (bare.back() < 0 || loader.back() < 0) {
            std::fprintf(stderr, "download failed in round %d\n", round + 1);
            return 1;
        }
        std::printf("round %d: bare %.1f ms, FileLoader_c %.1f ms\n", round + 1, bare.back(),
                    loader.back());
    }
    std::sort(bare.begin(), bare.end());
    std::sort(loader.begin(), loader.end());
    const size_t mid = bare.size() / 2;
    std::printf("4 MiB in %d chunks: bare stop-and-wait best %.1f / median %.1f ms, production "
                "download best %.1f / median %.1f ms, ratio best %.2f / median %.2f (goal <= 1.5)\n",
                kSize / kChunk, bare.front(), bare[mid], loader.front(), loader[mid],
                loader.front() / bare.front(), loader[mid] / bare[mid]);
    return 0;
}
