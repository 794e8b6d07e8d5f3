#pragma once
// Equipment shared by the production-area tests: a temporary station folder, simulated devices
// plugged into a temporary extra-ports file, a silent port, and recorders for what a run reports.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

#include "devsim.h"
#include "flashing.h"
#include "logger.h"
#include "station.h"

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
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Copies a folder tree (the example station) into place.
inline bool copyTree(const QString& from, const QString& to)
{
    QDir source(from);
    if (!QDir().mkpath(to))
        return false;
    for (const QFileInfo& info :
         source.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString target = to + '/' + info.fileName();
        if (info.isDir() ? !copyTree(info.filePath(), target)
                         : !QFile::copy(info.filePath(), target))
            return false;
    }
    return true;
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
    bool seen() const { return m_seen; }

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
        connect(&logger, &Logger_c::sigLog, this, [this](const QString& line) { log.append(line); });
        connect(&logger, &Logger_c::sigLabel, this,
                [this](const QString& text) { labels.append(text); });
        connect(&logger, &Logger_c::sigProgress, this,
                [this](int value) { progress.append(value); });
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
};

// A temporary folder holding the extra-ports file (exported as VELTORA_EXTRA_PORTS), the
// simulated devices' files and, optionally, a station.
class Bench
{
public:
    Bench()
    {
        qputenv("VELTORA_EXTRA_PORTS", portsFile().toLocal8Bit());
        writeFile(portsFile(), QByteArray());
    }
    ~Bench()
    {
        m_devices.clear();
        if (m_silentMaster >= 0)
            ::close(m_silentMaster);
        qunsetenv("VELTORA_EXTRA_PORTS");
        setStationDir(QString());
    }
    QString path() const { return m_dir.path(); }
    QString portsFile() const { return m_dir.path() + "/ports"; }
    QString station() const { return m_dir.path() + "/station"; }
    QString fsRoot(int index = 0) const { return m_dir.path() + "/fs" + QString::number(index); }

    // The example station of the repository, as the station of this test.
    bool useExampleStation()
    {
        setStationDir(station());
        return copyTree(QStringLiteral(PROD_EXAMPLE_STATION), station());
    }

    devsim::Config config(int index = 0) const
    {
        devsim::Config config;
        config.dir = m_dir.path().toStdString();
        config.portsFile = portsFile().toStdString();
        config.linkName = "ttySIM" + std::to_string(index);
        config.fsRoot = fsRoot(index).toStdString();
        config.rebootDelayMs = 30;
        return config;
    }
    devsim::Device* start(const devsim::Config& config)
    {
        m_devices.emplace_back(new devsim::Device(config));
        return m_devices.back()->start() ? m_devices.back().get() : nullptr;
    }

    // A port that opens but never answers, listed with a device vendor id.
    QString addSilentPort()
    {
        m_silentMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_silentMaster < 0 || grantpt(m_silentMaster) || unlockpt(m_silentMaster))
            return QString();
        const QString name = QString::fromLocal8Bit(ptsname(m_silentMaster));
        QFile ports(portsFile());
        if (!ports.open(QIODevice::WriteOnly | QIODevice::Append))
            return QString();
        ports.write((name + " 0x1915\n").toLocal8Bit());
        return name;
    }

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<devsim::Device>> m_devices;
    int m_silentMaster = -1;
};

inline int countOf(const std::vector<uint8_t>& codes, uint8_t code)
{
    int n = 0;
    for (uint8_t c : codes)
        n += c == code;
    return n;
}

} // namespace prodtest
