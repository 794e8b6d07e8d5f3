#pragma once
#include <QString>
#include <functional>

#include "stop_token.h"

// Programs one nRF image through the J-Link commander: writes the commander's script for the image
// and runs the commander with it, within a time limit, killing it at once when the run is stopped.
class JLinkCommander
{
public:
    // script: the script file to write; program and folder: the commander and where it runs.
    JLinkCommander(const QString& script, const QString& program, const QString& folder,
                   const StopToken& stop);

    // imagePath is where the image named imageName lies; whileRunning, when given, is called
    // about every 50 ms while the commander runs. Returns the red line that says why the image
    // was not programmed; empty when it was.
    QString program(const QString& imageName, const QString& imagePath,
                    const std::function<void()>& whileRunning = {});
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    // The probe's serial number, for a station with several probes; empty: the only one.
    void setProbeSerial(const QString& serial) { m_probeSerial = serial; }
    // Receives every line the commander prints (at most kMaxOutputLines, then one line saying
    // how many more were left out), as it prints them.
    void setOutputHandler(std::function<void(const QString&)> handler)
    {
        m_onOutput = std::move(handler);
    }
    // The exit code of the last commander run; -1 when it did not run, crashed or was killed.
    int exitCode() const { return m_exitCode; }
    // What the operator is shown after the red line of a failed image: the commander's own
    // failure line, or why it could not be started; empty when there is none.
    QString failureLine() const { return m_failureLine; }

    static constexpr int kMaxOutputLines = 1000;
    // A longer line (or output without line ends) is passed on in pieces of this size.
    static constexpr int kMaxLineBytes = 1024;

private:
    QString run(const std::function<void()>& whileRunning);

    QString m_script;
    QString m_program;
    QString m_folder;
    const StopToken& m_stop;
    int m_timeoutMs = 30000;
    QString m_probeSerial;
    std::function<void(const QString&)> m_onOutput;
    int m_exitCode = -1;
    QString m_failureLine;
};
