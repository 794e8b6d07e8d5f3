#pragma once
// Test equipment that needs no pseudo-terminal, for the unit tests as well: files read and written
// whole, the record lines written out by hand, and recorders for what a run reports and what the
// process writes to the debug stream.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <atomic>
#include <functional>
#include <vector>

#include "flashing.h"
#include "logger.h"

namespace prodtest {

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The key the simulated device creates in the record tests (bytes 0 to 63), and the record lines
// of device 1234 with it and the simulated device's MAC addresses, written out by hand.
inline std::vector<uint8_t> fixedKey()
{
    std::vector<uint8_t> key(64);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(i);
    return key;
}
inline const QByteArray kMacHeader = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n";
inline const QByteArray kKeyLine1234 =
    "{\"device_id\": 1234, \"key\": \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss"
    "LS4vMDEyMzQ1Njc4OTo7PD0+Pw==\"}\n";
inline const QByteArray kMacLine1234 = "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";

// Log lines without their colour code: what the progress dialog's label shows.
inline QStringList withoutColours(QStringList lines)
{
    for (QString& line : lines)
        line.remove(0, 1);
    return lines;
}

// Every qDebug line of the process, from any thread.
class DebugCapture
{
public:
    DebugCapture()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&DebugCapture::handler);
    }
    ~DebugCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    // Set once a line equal to this text has been seen; then the action runs, on the thread
    // that wrote the line.
    void watch(const QString& text, std::function<void()> action = {})
    {
        m_watched = text;
        m_action = std::move(action);
    }

private:
    static DebugCapture*& instance()
    {
        static DebugCapture* capture = nullptr;
        return capture;
    }
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        DebugCapture* self = instance();
        bool act = false;
        if (self) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(text);
            act = !self->m_seen && !self->m_watched.isEmpty() && text == self->m_watched;
        }
        if (act) {
            if (self->m_action)
                self->m_action();
            self->m_seen = true;
        }
        if (type != QtDebugMsg && self && self->m_previous)
            self->m_previous(type, context, text);
    }
    mutable QMutex m_mutex;
    QStringList m_lines;
    QString m_watched;
    std::function<void()> m_action;
    std::atomic<bool> m_seen{false};
    QtMessageHandler m_previous = nullptr;
};

// What a run reports, recorded as it is emitted (the run body runs on the test thread).
class Recorder : public QObject
{
public:
    void attach(Logger_c& logger)
    {
        connect(&logger, &Logger_c::sigLog, this,
                [this](const QString& line) { log.append(line); });
        connect(&logger, &Logger_c::sigLabel, this,
                [this](const QString& text) { labels.append(text); });
        connect(&logger, &Logger_c::sigProgress, this,
                [this](int value) { progress.append(value); });
        connect(&logger, &Logger_c::sigTrace, this, [this](const QString& line) { trace << line; });
    }
    void attach(Flashing_c& worker)
    {
        connect(&worker, &Flashing_c::on_flashFinish, this,
                [this](bool result) { finishes.append(result); });
    }
    QStringList log;
    QStringList labels;
    QList<int> progress;
    QList<bool> finishes;
    QStringList trace; // lines for the day log only
};

} // namespace prodtest
