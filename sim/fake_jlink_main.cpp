// veltora-fake-jlink: stands in for the J-Link commander on a bench without a probe. It checks the
// command script byte for byte, notes its arguments and what it would have programmed in
// fake-jlink.log next to the script, and can be told to fail as the real commander does (a failure
// line, and exit 0 unless -ExitOnError 1 was given), to ask a question on its standard input, to
// print a long output, to hang, or to reset a simulated device afterwards. A script that only
// quits gets the commander's first lines.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct Settings
{
    int exitCode = 0;        // exit code after a good script
    bool hang = false;       // never finish (until killed)
    int delayMs = 0;         // programming time
    std::string resetDevice; // trigger file of a simulated device to reset after programming
    std::string resetBack;   // that device's port: wait until it is listed again before exiting
    std::string fail;        // connect, write, verify or another failure line: programming fails
    bool question = false;   // ask whether to unlock the target and wait for the answer
    int lines = 0;           // extra output lines before the programming
    int longLine = 0;        // then a line of this many bytes
    bool old = false;        // an older commander that ignores -ExitOnError
};

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool toInt(const std::string& text, int& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -100000000 || v > 100000000)
        return false;
    value = static_cast<int>(v);
    return true;
}

void apply(Settings& s, const std::string& key, const std::string& value)
{
    int number = 0;
    if (key == "exit" && toInt(value, number))
        s.exitCode = number;
    else if (key == "hang")
        s.hang = value == "1" || value == "yes" || value == "true";
    else if (key == "delay-ms" && toInt(value, number) && number >= 0)
        s.delayMs = number;
    else if (key == "reset-device")
        s.resetDevice = value;
    else if (key == "reset-back")
        s.resetBack = value;
    else if (key == "fail")
        s.fail = value;
    else if (key == "question")
        s.question = value == "1" || value == "yes" || value == "true";
    else if (key == "lines" && toInt(value, number) && number >= 0)
        s.lines = number;
    else if (key == "long-line" && toInt(value, number) && number >= 0)
        s.longLine = number;
    else if (key == "old")
        s.old = value == "1" || value == "yes" || value == "true";
    else
        std::fprintf(stderr, "veltora-fake-jlink: ignoring setting %s=%s\n", key.c_str(), value.c_str());
}

// fake-jlink.conf beside the program as it was started (so a symlink in a station folder has its
// own), then the environment, which wins.
Settings loadSettings(const char* argv0)
{
    Settings s;
    const std::string self = std::strchr(argv0, '/') ? argv0 : "/proc/self/exe";
    std::ifstream conf(folderOf(self) + "/fake-jlink.conf");
    std::string line;
    while (std::getline(conf, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        apply(s, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    const struct {
        const char* variable;
        const char* key;
    } environment[] = {
        {"VELTORA_FAKE_JLINK_EXIT", "exit"},
        {"VELTORA_FAKE_JLINK_HANG", "hang"},
        {"VELTORA_FAKE_JLINK_DELAY_MS", "delay-ms"},
        {"VELTORA_FAKE_JLINK_RESET", "reset-device"},
        {"VELTORA_FAKE_JLINK_RESET_BACK", "reset-back"},
        {"VELTORA_FAKE_JLINK_FAIL", "fail"},
        {"VELTORA_FAKE_JLINK_QUESTION", "question"},
        {"VELTORA_FAKE_JLINK_LINES", "lines"},
        {"VELTORA_FAKE_JLINK_LONG_LINE", "long-line"},
        {"VELTORA_FAKE_JLINK_OLD", "old"},
    };
    for (const auto& e : environment) {
        if (const char* value = std::getenv(e.variable))
            apply(s, e.key, value);
    }
    return s;
}

// The script the tool writes for one image: seven LF-ended lines, nothing else.
bool checkScript(const std::string& bytes, std::string& image, std::string& reason)
{
    static const char head[] = "si SWD\nspeed auto\ndevice nRF52840_xxAA\nloadfile \"TestFiles//";
    static const char tail[] = "\"\nr\ng\nqc\n";
    const size_t headLen = sizeof head - 1;
    const size_t tailLen = sizeof tail - 1;
    if (bytes.compare(0, headLen, head) != 0) {
        reason = "the first lines are not si SWD, speed auto, device nRF52840_xxAA, loadfile \"TestFiles//";
        return false;
    }
    if (bytes.size() < headLen + tailLen
        || bytes.compare(bytes.size() - tailLen, tailLen, tail) != 0) {
        reason = "the script does not end with the closing quote and the lines r, g, qc";
        return false;
    }
    const std::string name = bytes.substr(headLen, bytes.size() - headLen - tailLen);
    if (name.empty()) {
        reason = "empty image name";
        return false;
    }
    if (name.find_first_of("\"\r\n") != std::string::npos) {
        reason = "the loadfile line is malformed";
        return false;
    }
    image = "TestFiles//" + name;
    return true;
}

void appendLog(const std::string& scriptPath, const std::string& line)
{
    std::ofstream log(folderOf(scriptPath) + "/fake-jlink.log", std::ios::app);
    log << line << '\n';
}

bool isRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Creates the trigger and waits (bounded) until the device has taken it, so the device is away
// before the commander ends and a port listing taken afterwards cannot see its old port.
void resetDevice(const std::string& trigger)
{
    {
        std::ofstream out(trigger);
        out << "reset\n";
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::access(trigger.c_str(), F_OK) != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fprintf(stderr, "veltora-fake-jlink: no device took %s\n", trigger.c_str());
    ::unlink(trigger.c_str());
}

bool listedInExtraPorts(const std::string& port)
{
    const char* portsFile = std::getenv("VELTORA_EXTRA_PORTS");
    if (!portsFile)
        return false;
    std::ifstream in(portsFile);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, port.size() + 1, port + ' ') == 0)
            return true;
    }
    return false;
}

// A device that comes back before the commander quits: the tool must not take its port for one
// that was there before programming.
void waitUntilListed(const std::string& port)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (listedInExtraPorts(port))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fprintf(stderr, "veltora-fake-jlink: %s did not come back\n", port.c_str());
}

// Prints one line at once, as the real commander does, so a reader sees it before the program ends.
void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A failed step prints its line; with -ExitOnError 1 the commander then ends at once with 1,
// otherwise (and an older commander always) it goes through the rest of the script and ends with 0.
int failed(const std::string& line, bool exitOnError)
{
    say(line);
    if (exitOnError)
        return 1;
    say("Script processing completed.");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The commander's options take a value each and ignore case.
    std::string scriptPath;
    std::string arguments;
    bool exitOnError = false;
    for (int i = 1; i < argc; ++i) {
        arguments += std::string(arguments.empty() ? "" : " ") + argv[i];
        if (i + 1 >= argc)
            continue;
        if (::strcasecmp(argv[i], "-commanderscript") == 0)
            scriptPath = argv[i + 1];
        else if (::strcasecmp(argv[i], "-ExitOnError") == 0)
            exitOnError = std::strcmp(argv[i + 1], "1") == 0;
    }
    if (scriptPath.empty()) {
        std::fprintf(stderr, "Usage: %s -commanderscript <script>\n", argv[0]);
        return 2;
    }
    const Settings settings = loadSettings(argv[0]);
    exitOnError = exitOnError && !settings.old;
    appendLog(scriptPath, "args " + arguments);

    std::ifstream in(scriptPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "veltora-fake-jlink: cannot open %s\n", scriptPath.c_str());
        appendLog(scriptPath, "bad-script cannot open " + scriptPath);
        return 2;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    // A script that only quits, as a host check starts the commander: it says who it is and
    // that it found a probe, and touches no target.
    if (trim(buffer.str()) == "exit" || trim(buffer.str()) == "qc") {
        say("SEGGER J-Link Commander V0.00 (veltora-fake-jlink, a stand-in)");
        say("Connecting to J-Link via USB...O.K.");
        appendLog(scriptPath, "quit");
        // Until killed, as a commander waiting for an answer nobody gives.
        if (settings.hang)
            std::this_thread::sleep_for(std::chrono::minutes(10));
        return settings.hang ? 124 : 0;
    }
    std::string image;
    std::string reason;
    if (!checkScript(buffer.str(), image, reason)) {
        std::fprintf(stderr, "veltora-fake-jlink: %s: %s\n", scriptPath.c_str(), reason.c_str());
        appendLog(scriptPath, "bad-script " + reason);
        return 2;
    }
    if (!isRegularFile(image)) {
        std::fprintf(stderr, "veltora-fake-jlink: no image %s\n", image.c_str());
        appendLog(scriptPath, "no-image " + image);
        return 3;
    }
    appendLog(scriptPath, "ok " + image);

    for (int i = 1; i <= settings.lines; ++i)
        std::printf("Output line %d\n", i);
    if (settings.longLine > 0)
        say(std::string(size_t(settings.longLine), 'x'));
    say("Connecting to target via SWD");
    if (settings.question) {
        say("The target's access port protection is on. Unlock it with a mass erase? (y/n)");
        std::string answer;
        // An answer never given (the end of the input) is a no.
        if (!std::getline(std::cin, answer) || answer.compare(0, 1, "y") != 0)
            return failed("Cannot connect to target.", exitOnError);
    }
    if (settings.fail == "connect") {
        if (exitOnError)
            return failed("Cannot connect to target.", true);
        // An older commander goes on through its script, and the download needs the target too.
        say("Cannot connect to target.");
        say("Downloading file [" + image + "]...");
        return failed("Writing failed.", false);
    }
    say("Cortex-M4 identified.");
    say("Downloading file [" + image + "]...");
    if (settings.fail == "write")
        return failed("Writing failed.", exitOnError);
    if (settings.fail == "verify")
        return failed("Verification failed.", exitOnError);
    if (!settings.fail.empty())
        return failed(settings.fail, exitOnError);
    say("O.K.");
    say("Reset delay: 0 ms");

    if (settings.hang) {
        // Until killed; the bound only keeps a forgotten run from living for ever.
        for (int minute = 0; minute < 10; ++minute)
            std::this_thread::sleep_for(std::chrono::minutes(1));
        return 124;
    }
    if (settings.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings.delayMs));
    if (!settings.resetDevice.empty()) {
        resetDevice(settings.resetDevice);
        if (!settings.resetBack.empty())
            waitUntilListed(settings.resetBack);
    }
    say("Script processing completed.");
    return settings.exitCode;
}
