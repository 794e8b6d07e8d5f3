// veltora-devsim: one simulated device on a pseudo-terminal, until SIGINT or SIGTERM.
#include "devsim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: veltora-devsim [options]\n"
    "Simulates one device on a pseudo-terminal and plugs it in through the extra-ports file.\n"
    "Prints the port path once it is ready; runs until SIGINT or SIGTERM, then unplugs.\n"
    "\n"
    "  --dir DIR             folder for the port symlink (default: current folder)\n"
    "  --ports-file FILE     extra-ports file to plug into (default: $VELTORA_EXTRA_PORTS)\n"
    "  --fs DIR              the device's file system (default: DIR/devsim-fs)\n"
    "  --link-name NAME      symlink name of the port (default: ttySIM0)\n"
    "  --vendor-id ID        USB vendor id, hex (0x2c0d) or decimal (default: 0x2c0d)\n"
    "  --usb-serial S        USB serial number, written into the ports line (default: none)\n"
    "  --usb-location L      USB location (hub port path, e.g. 1-1.4), likewise\n"
    "  --unplugged           start unplugged; the reset trigger plugs it in\n"
    "  --plug-delay MS       wait before the first plug-in\n"
    "  --reboot-delay MS     away time after a restart (default: 300)\n"
    "  --bootloader          start in the bootloader\n"
    "  --firmware-version T  firmware version text\n"
    "  --device-id N         initial Device ID (decimal)\n"
    "  --echo-device-id N    answer SetDeviceID with ID N instead of the one sent\n"
    "  --forget-device-id    answer SetDeviceID with the ID sent but keep the old one\n"
    "  --wifi-mac MAC        WiFi MAC, six hex bytes separated by ':'\n"
    "  --ethernet-mac MAC    Ethernet MAC, six hex bytes separated by ':'\n"
    "  --fault C:MODE[:P[:N]] fault for command code C; MODE: no-answer, non-zero-result,\n"
    "                        wrong-code-first, garbage-first, split, oversize, delay,\n"
    "                        vanish-after; P its parameter, N how many requests (-1 all)\n"
    "  --usb-packet N        answers go out in packets of N bytes, as full-speed USB\n"
    "                        delivers them (default: 64; 0: each answer in one write)\n"
    "  --usb-gap-us US       random gap of 0 to US microseconds between packets (default: 0)\n"
    "  --cut-ms MS           pause MS once at a random byte of every answer\n"
    "  --seed N              seed of the random gaps and cuts (default: 1)\n"
    "  --transcript FILE     append every request and response (hex) to FILE\n"
    "  --reset-trigger FILE  file whose appearance resets the device (default: DIR/NAME.reset)\n"
    "  --help                this text\n";

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(digits, &end, hex ? 16 : 10);
    return errno == 0 && *end == '\0' && value <= max;
}

bool parseMac(const std::string& text, uint8_t mac[6])
{
    unsigned b[6];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &tail)
        != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "veltora-devsim: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    devsim::Config config;
    config.dir = ".";
    if (const char* ports = std::getenv("VELTORA_EXTRA_PORTS"))
        config.portsFile = ports;
    std::string fsRoot;
    std::vector<std::pair<uint8_t, devsim::Fault>> faults;

    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            hasValue = true;
        }
        auto next = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        unsigned long long number = 0;
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == "--unplugged") {
            config.pluggedAtStart = false;
        } else if (option == "--bootloader") {
            config.bootloader = true;
        } else if (option == "--forget-device-id") {
            config.keepsDeviceId = false;
        } else if (!next()) {
            return fail("option " + option + " needs a value (see --help)");
        } else if (option == "--dir") {
            config.dir = value;
        } else if (option == "--ports-file") {
            config.portsFile = value;
        } else if (option == "--fs") {
            fsRoot = value;
        } else if (option == "--link-name") {
            if (value.empty() || value.find('/') != std::string::npos)
                return fail("bad link name: " + value);
            config.linkName = value;
        } else if (option == "--vendor-id") {
            if (!parseNumber(value, 0xFFFF, number))
                return fail("bad vendor id: " + value);
            config.vendorId = static_cast<uint16_t>(number);
        } else if (option == "--usb-serial" || option == "--usb-location") {
            // A blank would split the ports line's field.
            if (value.empty() || value.find_first_of(" \t\n=") != std::string::npos)
                return fail("bad value for " + option + ": " + value);
            (option == "--usb-serial" ? config.usbSerial : config.usbLocation) = value;
        } else if (option == "--plug-delay") {
            if (!parseNumber(value, 3600000, number))
                return fail("bad plug delay: " + value);
            config.plugDelayMs = static_cast<int>(number);
        } else if (option == "--reboot-delay") {
            if (!parseNumber(value, 3600000, number))
                return fail("bad reboot delay: " + value);
            config.rebootDelayMs = static_cast<int>(number);
        } else if (option == "--firmware-version") {
            config.firmwareVersion = value;
        } else if (option == "--device-id") {
            if (!parseNumber(value, ~0ULL, number))
                return fail("bad Device ID: " + value);
            config.deviceId = number;
        } else if (option == "--echo-device-id") {
            if (!parseNumber(value, ~0ULL, number))
                return fail("bad Device ID: " + value);
            config.deviceIdEcho = number;
        } else if (option == "--wifi-mac") {
            if (!parseMac(value, config.wifiMac))
                return fail("bad WiFi MAC: " + value);
        } else if (option == "--ethernet-mac") {
            if (!parseMac(value, config.ethernetMac))
                return fail("bad Ethernet MAC: " + value);
        } else if (option == "--fault") {
            uint8_t command = 0;
            devsim::Fault fault;
            if (!devsim::parseFault(value, command, fault))
                return fail("bad fault: " + value);
            faults.emplace_back(command, fault);
        } else if (option == "--usb-packet" || option == "--usb-gap-us" || option == "--cut-ms") {
            if (!parseNumber(value, 3600000, number))
                return fail("bad value for " + option + ": " + value);
            int& field = option == "--usb-packet"   ? config.usbPacketBytes
                         : option == "--usb-gap-us" ? config.usbGapMaxUs
                                                    : config.cutGapMs;
            field = static_cast<int>(number);
        } else if (option == "--seed") {
            if (!parseNumber(value, 0xFFFFFFFFull, number))
                return fail("bad seed: " + value);
            config.seed = static_cast<unsigned>(number);
        } else if (option == "--transcript") {
            config.transcriptPath = value;
        } else if (option == "--reset-trigger") {
            config.resetTriggerPath = value;
        } else {
            return fail("unknown option " + option + " (see --help)");
        }
    }
    if (config.portsFile.empty())
        return fail("no extra-ports file: give --ports-file or set VELTORA_EXTRA_PORTS");
    config.fsRoot = fsRoot.empty() ? config.dir + "/devsim-fs" : fsRoot;

    // Blocked before the serving thread starts, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    devsim::Device device(config);
    for (const auto& f : faults)
        device.setFault(f.first, f.second);
    if (!device.start())
        return fail("cannot start: check --dir, --fs and --ports-file");
    std::printf("%s\n", device.portPath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    device.stop();
    return 0;
}
