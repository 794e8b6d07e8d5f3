#include "flashing.h"

#include <QDebug>
#include <QThread>

#include "file_loader.h"
#include "logger.h"
#include "device_search.h"
#include "station.h"
#include "usb_cdc_protocol.h"

void Flashing_c::runTest()
{
    QStringList downloadNames;
    QStringList jlinkNames;
    if (!beginRun(QStringLiteral("test_files.cfg"), downloadNames, jlinkNames))
        return;

    m_step = "commander";
    // The programmed device may be back before the commander quits, under a new port or under
    // the one it had: the ports are listed before programming, and a listed port is forgotten
    // once it goes away (also while the commander runs), so that its return counts as new.
    m_search->listKnownPorts();

    for (const QString& name : qAsConst(jlinkNames)) {
        if (name.isEmpty()) {
            failRun(QStringLiteral("Incorrect hex file size"), false);
            return;
        }
        m_logger->logWithLabel(QStringLiteral("Flashing the ") + name + QStringLiteral(" image..."),
                               LogColour::Black);
        if (!programNrfImage(name)) {
            if (!m_running.stopped())
                finishRun(false);
            return;
        }
        m_logger->logWithLabel(QStringLiteral("File ") + name +
                                   QStringLiteral(" flashed successfully"),
                               LogColour::Green);
        if (m_running.stopped())
            return;
    }

    // The freshly programmed device comes up as a new port; ports already there are not it.
    if (!findDevice(Search::PollOnly))
        return;

    if (m_setDeviceId && !writeDeviceId())
        return;

    if (m_running.stopped())
        return;
    m_logger->logWithLabel(QStringLiteral("Found ") + QString::number(downloadNames.size()) +
                               QStringLiteral(" file(s) for flashing"),
                           LogColour::Black);
    // A device that did not get every test file has not been prepared for its test.
    m_step = "test files";
    if (!download(downloadNames, QStringLiteral("TestFiles//")))
        return;

    restartAndRelease();
    finishRun(true);
}

void Flashing_c::runRetest()
{
    if (!findDevice(Search::ListKnownPorts | Search::ProbeKnownPorts))
        return;

    m_step = "test history";
    if (m_protocol->SendDeleteESP(QStringLiteral("testres.bin"))) {
        failRun(QStringLiteral("Test history cleaning error"), false);
        return;
    }
    m_logger->log(QStringLiteral("Test history has been deleted successfully"), LogColour::Blue);
    // The history is gone, which is what the re-test is for; the restart only starts the test.
    (void)m_protocol->SendReboot();
    m_protocol->closeIfOpen();
    finishRun(true);
}
