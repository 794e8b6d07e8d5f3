#include "run_host.h"

#include <QThread>

#include "flashing.h"
#include "logger.h"

RunHost::RunHost(QThread& thread, Logger_c& logger) : m_thread(thread), m_logger(logger)
{
    connect(&m_logger, &Logger_c::sigLine, this, &RunHost::sigLine);
    connect(&m_logger, &Logger_c::sigProgress, this, &RunHost::sigProgress);
}

RunHost::~RunHost()
{
    end();
}

Flashing_c* RunHost::start(const RunSettings& settings)
{
    Flashing_c* worker = prepare(settings);
    if (worker)
        launch();
    return worker;
}

Flashing_c* RunHost::prepare(const RunSettings& s)
{
    if (m_worker)
        return nullptr;
    using Kind = RunSettings::Kind;
    const bool production = s.kind == Kind::Production;
    // Only production may take a device that answers from its bootloader at the probe.
    const bool skipBootloader = production ? s.skipBootloader : true;
    const QString folder = production ? QStringLiteral("/Production/") : QStringLiteral("/TestFiles/");
    m_worker = new Flashing_c(s.deviceId, skipBootloader, folder, s.setDeviceId, &m_logger);
    connect(m_worker, &Flashing_c::on_flashFinish, this, &RunHost::sigFinished);

    void (Flashing_c::*body)() = &Flashing_c::runProduction;
    if (s.kind == Kind::Test) {
        body = &Flashing_c::runTest;
    } else if (s.kind == Kind::Retest) {
        body = &Flashing_c::runRetest;
    } else if (s.kind == Kind::Fetch) {
        m_worker->setFetch(s.fetchFolder, s.fetchSelector, s.fetchNames);
        body = &Flashing_c::runFetch;
    }
    connect(&m_thread, &QThread::started, m_worker, body, Qt::AutoConnection);
    return m_worker;
}

void RunHost::launch()
{
    if (!m_worker || m_thread.isRunning())
        return;
    m_worker->moveToThread(&m_thread);
    m_thread.start(QThread::InheritPriority);
}

void RunHost::stop()
{
    if (m_worker)
        m_worker->stop();
}

void RunHost::join()
{
    // quit() and wait(), never terminate(): the run body has returned (its end was its last
    // action) or returns at its next check of the stop flag.
    stop();
    m_thread.quit();
    m_thread.wait();
}

void RunHost::end()
{
    if (!m_worker)
        return;
    join();
    disconnect(&m_thread, &QThread::started, m_worker, nullptr);
    delete m_worker;
    m_worker = nullptr;
}
