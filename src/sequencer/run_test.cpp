#include "flashing.h"

#include <QDebug>
#include <QThread>

#include "file_loader.h"
#include "logger.h"
#include "port_list.h"
#include "station.h"
#include "usb_cdc_protocol.h"

void Flashing_c::runTest()
{
    QStringList downloadNames;
    QStringList jlinkNames;
    if (!beginRun(QStringLiteral("test_files.cfg"), downloadNames, jlinkNames))
        return;

    // The programmed device may be back before the commander quits, under a new port or under
    // the one it had: the ports are listed before programming, and a listed port is forgotten
    // once it goes away (also while the commander runs), so that its return counts as new.
    listDevicePorts(m_portsBefore);

    for (const QString& name : qAsConst(jlinkNames)) {
        if (name.isEmpty()) {
            failRun(QStringLiteral("Incorrect hex file size"), false);
            return;
        }
        m_logger->logWithLabel(QStringLiteral("Flashing the ") + name + QStringLiteral(" image..."), 0);
        if (!programNrfImage(name)) {
            if (m_running)
                emit on_flashFinish(false);
            return;
        }
        m_logger->logWithLabel(QStringLiteral("File ") + name + QStringLiteral(" flashed successfully"), 4);
        if (!m_running)
            return;
    }

    // The freshly programmed device comes up as a new port; ports already there are not it.
    if (!searchDevice(false, false))
        return;
    if (!m_protocol->portOpen()) {
        failRun(QStringLiteral("Error while port opening"), false);
        return;
    }

    if (m_setDeviceId && !writeDeviceId())
        return;

    QList<FlashFileEntry> files;
    for (const QString& name : qAsConst(downloadNames)) {
        FlashFileEntry entry;
        entry.fileName = QStringLiteral("TestFiles//") + name;
        entry.isUpdate = goesToUpdates(name) ? 1 : 0;
        files.append(entry);
    }
    if (!m_running)
        return;

    m_logger->logWithLabel(QStringLiteral("Found ") + QString::number(downloadNames.size())
                               + QStringLiteral(" file(s) for flashing"),
                           0);
    m_flasherDone = false;
    m_logger->progress(0);

    bool downloaded = false;
    {
        FileLoader_c loader(m_protocol, files, StationLayout(m_folder).runFolder(), m_logger);
        qDebug() << "Flasher configured";
        loader.doWork();
        downloaded = loader.lastRunSucceeded();
    }
    m_downloading = true;
    if (!m_running)
        return;

    // A device that did not get every test file has not been prepared for its test.
    if (!downloaded) {
        failRun(QStringLiteral("Firmware download error"), true);
        return;
    }

    restartAndRelease();
    emit on_flashFinish(true);
}

void Flashing_c::runRetest()
{
    m_portsBefore.clear();
    if (!searchDevice(true, true))
        return;
    if (!m_running)
        return;
    if (!m_protocol->portOpen()) {
        failRun(QStringLiteral("Error while port opening"), false);
        return;
    }

    if (m_protocol->SendDeleteESP(QStringLiteral("testres.bin"))) {
        failRun(QStringLiteral("Test history cleaning error"), false);
        return;
    }
    m_logger->log(QStringLiteral("Test history has been deleted successfully"), 3);
    m_protocol->SendReboot();
    m_protocol->closeIfOpen();
    emit on_flashFinish(true);
}
