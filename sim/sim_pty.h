#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

// One pseudo-terminal standing in for the device's USB CDC port: a raw master for the device, a
// slave the device keeps open itself so the line settings survive the tool opening and closing it.
class SimPty
{
public:
    SimPty() = default;
    ~SimPty() { close(); }
    SimPty(const SimPty&) = delete;
    SimPty& operator=(const SimPty&) = delete;

    bool open();
    void close();
    bool isOpen() const { return m_master >= 0; }

    int master() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }
    // Bytes written by the device that the tool has not read yet.
    int pendingForTool() const;
    // Writes all n bytes to the tool, waiting while its side is full; false when the line failed
    // or timeoutMs passed first.
    bool writeAll(const uint8_t* p, size_t n, int timeoutMs) const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// Points linkPath at target, replacing an older link in one step.
bool replaceSymlink(const std::string& target, const std::string& linkPath);

} // namespace devsim
