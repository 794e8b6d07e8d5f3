// The faults the simulated device can be told to make: no answer, a non-zero result, another
// command's frame or garbage first, an answer split, over-long or late, a device that vanishes.
#include "devsim_impl.h"

#include "cdc_commands.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>

namespace devsim {

namespace {

constexpr size_t kDefaultOversize = 1100; // decoded bytes: beyond both response areas

} // namespace

Fault Device::Impl::takeFault(uint8_t command)
{
    auto it = faults.find(command);
    if (it == faults.end() || it->second.mode == ErrorMode::None || it->second.times == 0)
        return Fault{};
    Fault& fault = it->second;
    if (fault.mode == ErrorMode::VanishAfter) {
        if (command != cdc::WriteESP.code)
            return Fault{};
        if (fault.param > 0) {
            --fault.param;
            return Fault{};
        }
        // One vanishing per fault: plugged back in, the device answers again.
        const Fault applied = fault;
        faults.erase(it);
        return applied;
    }
    const Fault applied = fault;
    if (fault.times > 0 && --fault.times == 0)
        faults.erase(it);
    return applied;
}

bool Device::Impl::faultDecides(const Fault& fault, uint8_t command, Reply& reply)
{
    switch (fault.mode) {
    case ErrorMode::NoAnswer:
        return true;
    case ErrorMode::VanishAfter:
        reply.after = Reply::After::Vanish;
        return true;
    case ErrorMode::NonZeroResult:
        reply.answer = true;
        reply.command = command;
        reply.payload = {static_cast<uint8_t>(fault.param ? fault.param : 1)};
        return true;
    case ErrorMode::None:
    case ErrorMode::WrongCodeFirst:
    case ErrorMode::GarbageFirst:
    case ErrorMode::SplitResponse:
    case ErrorMode::OversizeFrame:
    case ErrorMode::Delay:
        break;
    }
    return false;
}

void Device::Impl::deliver(const Reply& reply)
{
    if (!reply.answer)
        return;
    Bytes payload = reply.payload;
    const Fault& fault = reply.fault;
    if (fault.mode == ErrorMode::OversizeFrame) {
        const size_t total = fault.param > 3 ? static_cast<size_t>(fault.param) : kDefaultOversize;
        // Filled with the command byte, so that any tail of it looks like an answer: a reader
        // that resynchronises in the middle of the frame is caught taking garbage.
        payload.resize(std::max(total - 3, payload.size()), reply.command);
    }
    const Bytes frame = encode(reply.command, payload);
    switch (fault.mode) {
    case ErrorMode::Delay:
        if (pause(fault.param))
            writeRaw(frame);
        break;
    case ErrorMode::WrongCodeFirst: {
        // An answer to some other command, as a late answer to an earlier request would be.
        const uint8_t other =
            reply.command == cdc::GetDeviceID.code ? cdc::GetMACs.code : cdc::GetDeviceID.code;
        writeRaw(encode(other, Bytes(8, 0)));
        // The right frame follows once the tool has read the wrong one on its own.
        waitTaken(20, 1000);
        writeRaw(frame);
        break;
    }
    case ErrorMode::GarbageFirst: {
        static const uint8_t kGarbage[] = {0x55, 0xAA, 0x00, 0xFF, 0x13, 0x37};
        Bytes bytes(sizeof kGarbage + frame.size());
        std::copy(std::begin(kGarbage), std::end(kGarbage), bytes.begin());
        std::copy(frame.begin(), frame.end(), bytes.begin() + sizeof kGarbage);
        writeRaw(bytes);
        break;
    }
    case ErrorMode::SplitResponse: {
        const size_t half = std::max<size_t>(frame.size() / 2, 1);
        writeRaw(Bytes(frame.begin(), frame.begin() + half));
        if (pause(fault.param > 0 ? fault.param : 30))
            writeRaw(Bytes(frame.begin() + half, frame.end()));
        break;
    }
    case ErrorMode::None:
    case ErrorMode::OversizeFrame:
    // Decided before the request was carried out; nothing of theirs reaches this point.
    case ErrorMode::NoAnswer:
    case ErrorMode::NonZeroResult:
    case ErrorMode::VanishAfter:
        writeRaw(frame);
        break;
    }
}

bool parseFault(const std::string& text, uint8_t& command, Fault& fault)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    auto number = [](const std::string& s, long& value) {
        if (s.empty())
            return false;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const char* digits = s.c_str() + (hex ? 2 : 0);
        char* end = nullptr;
        errno = 0;
        value = std::strtol(digits, &end, hex ? 16 : 10);
        return errno == 0 && end != digits && *end == '\0';
    };
    long code = 0;
    if (!number(parts[0], code) || code < 0 || code > 255)
        return false;
    static const std::map<std::string, ErrorMode> modes = {
        {"no-answer", ErrorMode::NoAnswer},
        {"non-zero-result", ErrorMode::NonZeroResult},
        {"wrong-code-first", ErrorMode::WrongCodeFirst},
        {"garbage-first", ErrorMode::GarbageFirst},
        {"split", ErrorMode::SplitResponse},
        {"oversize", ErrorMode::OversizeFrame},
        {"delay", ErrorMode::Delay},
        {"vanish-after", ErrorMode::VanishAfter},
    };
    const auto mode = modes.find(parts[1]);
    if (mode == modes.end())
        return false;
    Fault parsed;
    parsed.mode = mode->second;
    long value = 0;
    if (parts.size() > 2) {
        if (!number(parts[2], value) || value < 0 || value > INT_MAX)
            return false;
        parsed.param = static_cast<int>(value);
    }
    if (parts.size() > 3) {
        if (!number(parts[3], value) || value < -1 || value > INT_MAX)
            return false;
        parsed.times = static_cast<int>(value);
    }
    command = static_cast<uint8_t>(code);
    fault = parsed;
    return true;
}

} // namespace devsim
