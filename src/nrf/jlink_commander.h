#pragma once
#include <QString>
#include <atomic>
#include <functional>

// Programs one nRF image through the J-Link commander: writes the commander's script for the image
// and runs the commander with it, within a time limit, killing it at once when the run is stopped.
class JLinkCommander
{
public:
    // script: the script file to write; program and folder: the commander and where it runs.
    JLinkCommander(const QString& script, const QString& program, const QString& folder,
                   const std::atomic<bool>& running);

    // imagePath is where the image named imageName lies; whileRunning, when given, is called
    // about every 50 ms while the commander runs. Returns the red line that says why the image
    // was not programmed; empty when it was.
    QString program(const QString& imageName, const QString& imagePath,
                    const std::function<void()>& whileRunning = {});
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    // The exit code of the last commander run; -1 when it did not run, crashed or was killed.
    int exitCode() const { return m_exitCode; }

private:
    QString run(const std::function<void()>& whileRunning);

    QString m_script;
    QString m_program;
    QString m_folder;
    const std::atomic<bool>& m_running;
    int m_timeoutMs = 30000;
    int m_exitCode = -1;
};
