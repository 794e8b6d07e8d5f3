#include "flashing.h"

#include "file_loader.h"
#include "logger.h"
#include "device_search.h"
#include "usb_cdc_protocol.h"

void Flashing_c::setFetch(const QString& folder, quint16 selector, const QStringList& names)
{
    m_fetchFolder = folder;
    m_fetchSelector = selector;
    m_fetchNames = names;
}

void Flashing_c::runFetch()
{
    // The device already plugged in, as the probe finds it; nothing is written into it.
    m_step = "device search";
    if (!probePorts(m_search->portNames(), true)) {
        failRun(QStringLiteral("Error while port opening"), false);
        return;
    }
    QList<FlashFileEntry> files;
    for (const QString& name : qAsConst(m_fetchNames))
        files.append(FlashFileEntry{name, 0});
    m_step = "fetch";
    FileLoader_c loader(m_protocol, files, m_fetchFolder, m_fetchSelector, m_logger);
    loader.setStopToken(m_running);
    loader.doGetFiles();
    m_record.fetched = loader.transferred();
    m_protocol->closeIfOpen();
    // A fetch cut short by a stop ends silently; one that completed meanwhile still counts.
    if (!loader.lastRunSucceeded() && m_running.stopped())
        return;
    finishRun(loader.lastRunSucceeded());
}
