// veltora-devsim: one simulated device on a pseudo-terminal, until SIGINT or SIGTERM.
#include "devsim.h"

#include <QCommandLineParser>
#include <QStringList>
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
    "  --flash-write-us US   each chunk written takes US microseconds before it is answered\n"
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
                    &b[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(b[i]);
    return true;
}

// Arguments come in the local encoding and go back out in it, byte for byte where it allows.
std::string text(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "veltora-devsim: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // One addOption per option, in the order of the help text; the help is kUsage.
    QCommandLineParser parser;
    parser.addOption({"dir", "", "DIR"});
    parser.addOption({"ports-file", "", "FILE"});
    parser.addOption({"fs", "", "DIR"});
    parser.addOption({"link-name", "", "NAME"});
    parser.addOption({"vendor-id", "", "ID"});
    parser.addOption({"usb-serial", "", "S"});
    parser.addOption({"usb-location", "", "L"});
    parser.addOption({"unplugged", ""});
    parser.addOption({"plug-delay", "", "MS"});
    parser.addOption({"reboot-delay", "", "MS"});
    parser.addOption({"bootloader", ""});
    parser.addOption({"firmware-version", "", "T"});
    parser.addOption({"device-id", "", "N"});
    parser.addOption({"echo-device-id", "", "N"});
    parser.addOption({"forget-device-id", ""});
    parser.addOption({"wifi-mac", "", "MAC"});
    parser.addOption({"ethernet-mac", "", "MAC"});
    parser.addOption({"fault", "", "C:MODE[:P[:N]]"});
    parser.addOption({"usb-packet", "", "N"});
    parser.addOption({"usb-gap-us", "", "US"});
    parser.addOption({"cut-ms", "", "MS"});
    parser.addOption({"flash-write-us", "", "US"});
    parser.addOption({"seed", "", "N"});
    parser.addOption({"transcript", "", "FILE"});
    parser.addOption({"reset-trigger", "", "FILE"});
    parser.addOption({"help", ""});
    if (!parser.parse(args)) {
        QString error = parser.errorText();
        error.chop(error.endsWith('.') ? 1 : 0);
        return fail(text(error) + " (see --help)");
    }
    if (parser.isSet("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument " + text(parser.positionalArguments().first()));

    devsim::Config config;
    config.dir = ".";
    if (const char* ports = std::getenv("VELTORA_EXTRA_PORTS"))
        config.portsFile = ports;
    // The last of a repeated option counts, as with the other tools.
    const auto value = [&](const char* name) { return text(parser.value(name)); };
    unsigned long long number = 0;
    const auto numberOption = [&](const char* name, unsigned long long max) {
        return parseNumber(value(name), max, number);
    };
    if (parser.isSet("dir"))
        config.dir = value("dir");
    if (parser.isSet("ports-file"))
        config.portsFile = value("ports-file");
    const std::string fsRoot = value("fs");
    if (parser.isSet("link-name")) {
        config.linkName = value("link-name");
        if (config.linkName.empty() || config.linkName.find('/') != std::string::npos)
            return fail("bad link name: " + config.linkName);
    }
    if (parser.isSet("vendor-id")) {
        if (!numberOption("vendor-id", 0xFFFF))
            return fail("bad vendor id: " + value("vendor-id"));
        config.vendorId = static_cast<uint16_t>(number);
    }
    for (const auto& field : {std::make_pair("usb-serial", &config.usbSerial),
                              std::make_pair("usb-location", &config.usbLocation)}) {
        if (!parser.isSet(field.first))
            continue;
        // A blank would split the ports line's field.
        *field.second = value(field.first);
        if (field.second->empty() || field.second->find_first_of(" \t\n=") != std::string::npos)
            return fail(std::string("bad value for --") + field.first + ": " + *field.second);
    }
    if (parser.isSet("unplugged"))
        config.pluggedAtStart = false;
    if (parser.isSet("plug-delay")) {
        if (!numberOption("plug-delay", 3600000))
            return fail("bad plug delay: " + value("plug-delay"));
        config.plugDelayMs = static_cast<int>(number);
    }
    if (parser.isSet("reboot-delay")) {
        if (!numberOption("reboot-delay", 3600000))
            return fail("bad reboot delay: " + value("reboot-delay"));
        config.rebootDelayMs = static_cast<int>(number);
    }
    if (parser.isSet("bootloader"))
        config.bootloader = true;
    if (parser.isSet("firmware-version"))
        config.firmwareVersion = value("firmware-version");
    if (parser.isSet("device-id")) {
        if (!numberOption("device-id", ~0ULL))
            return fail("bad Device ID: " + value("device-id"));
        config.deviceId = number;
    }
    if (parser.isSet("echo-device-id")) {
        if (!numberOption("echo-device-id", ~0ULL))
            return fail("bad Device ID: " + value("echo-device-id"));
        config.deviceIdEcho = number;
    }
    if (parser.isSet("forget-device-id"))
        config.keepsDeviceId = false;
    if (parser.isSet("wifi-mac") && !parseMac(value("wifi-mac"), config.wifiMac))
        return fail("bad WiFi MAC: " + value("wifi-mac"));
    if (parser.isSet("ethernet-mac") && !parseMac(value("ethernet-mac"), config.ethernetMac))
        return fail("bad Ethernet MAC: " + value("ethernet-mac"));
    std::vector<std::pair<uint8_t, devsim::Fault>> faults;
    for (const QString& spec : parser.values("fault")) {
        uint8_t command = 0;
        devsim::Fault fault;
        if (!devsim::parseFault(text(spec), command, fault))
            return fail("bad fault: " + text(spec));
        faults.emplace_back(command, fault);
    }
    for (const auto& field : {std::make_pair("usb-packet", &config.usbPacketBytes),
                              std::make_pair("usb-gap-us", &config.usbGapMaxUs),
                              std::make_pair("cut-ms", &config.cutGapMs),
                              std::make_pair("flash-write-us", &config.flashWriteUs)}) {
        if (!parser.isSet(field.first))
            continue;
        if (!numberOption(field.first, 3600000))
            return fail(std::string("bad value for --") + field.first + ": " + value(field.first));
        *field.second = static_cast<int>(number);
    }
    if (parser.isSet("seed")) {
        if (!numberOption("seed", 0xFFFFFFFFull))
            return fail("bad seed: " + value("seed"));
        config.seed = static_cast<unsigned>(number);
    }
    if (parser.isSet("transcript"))
        config.transcriptPath = value("transcript");
    if (parser.isSet("reset-trigger"))
        config.resetTriggerPath = value("reset-trigger");
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
