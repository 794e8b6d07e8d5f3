#include "mainwindow.h"

#include <QBrush>
#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QDebug>
#include <QFileDialog>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include "flashing.h"
#include "line_database.h"
#include "line_sender.h"
#include "line_settings.h"
#include "progress.h"
#include "station.h"
#include "ui_mainwindow.h"
#include "version.h"

namespace {

// Qt's named colours: "green" is the dark one (0, 128, 0).
QColor colourOf(LogColour colour)
{
    switch (colour) {
    case LogColour::Red:
        return QColor(QStringLiteral("red"));
    case LogColour::Yellow:
        return QColor(QStringLiteral("yellow"));
    case LogColour::Blue:
        return QColor(QStringLiteral("blue"));
    case LogColour::Green:
        return QColor(QStringLiteral("green"));
    case LogColour::Black:
        break;
    }
    return QColor(QStringLiteral("black"));
}

// What QTextEdit::append does, but always as plain text: log lines carry device-supplied texts
// (version texts, file names) that must never be taken for markup.
void appendParagraph(QTextEdit* view, const QString& text, const QTextCharFormat& format)
{
    const bool followEnd = view->textCursor().atEnd();
    QTextCursor cursor(view->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (view->document()->isEmpty())
        cursor.setCharFormat(format);
    else
        cursor.insertBlock(view->textCursor().blockFormat(), format);
    cursor.insertText(text, format);
    cursor.endEditBlock();
    if (followEnd)
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      flashingWorker(nullptr),
      progressDialog(nullptr),
      mode(0),
      ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Veltora manufacturing v.") + QLatin1String(kVeltoraVersion));
    ui->m_editProdID->setEnabled(!ui->m_boxAutoIncProdSerial->isChecked());
    // A run reaches the window as it reaches the command line: through the run host. Its lines
    // come to Log coded as the logger codes them; the dialog's connections are made per run.
    connect(&m_runHost, &RunHost::sigLine, this,
            [this](const QString& text, LogColour colour, bool) {
                Log(QString::number(int(colour), 10) + text);
            });
    connect(&m_runHost, &RunHost::sigFinished, this, &MainWindow::on_flashingFinished);
    m_line = std::make_unique<LineSettings>(readLineSettings(stationDir()));
    if (m_line->enabled() && m_line->error.isEmpty()) {
        m_lineSender = std::make_unique<LineSenderThread>(stationDir(), *m_line);
        m_lineSender->start();
    }
}

MainWindow::~MainWindow()
{
    if (flashingWorker)
        tearDownRun();
    // Stops the sender, bounded by the server's connection time-out.
    m_lineSender.reset();
    delete ui;
}

void MainWindow::Log(QString line)
{
    const LogLine decoded = decodeLogLine(line);
    QTextEdit* view = logViewFor(mode);
    QTextCharFormat format = view->currentCharFormat();
    format.setForeground(QBrush(colourOf(decoded.colour), Qt::SolidPattern));
    // Only the new line gets the format: setting the view's current format would recolour
    // whatever the operator has selected.
    appendParagraph(view, decoded.text, format);
}

void MainWindow::on_flashingFinished(bool Success)
{
    // A late delivery after the run was already ended (window closing) has nothing to end.
    if (!flashingWorker)
        return;
    flashingWorker->stop();
    // The run body has returned; what else of the run still looks at the stop gets this long to
    // see it before the thread is ended.
    QThread::msleep(100);
    tearDownRun();
    if (Success && ui->m_boxAutoIncProdSerial->isChecked())
        ui->m_editProdID->stepUp();
}

void MainWindow::on_m_buttonAuto_clicked()
{
    startRun(RunSettings::Kind::Test);
}

void MainWindow::on_m_clearLog_clicked()
{
    ui->m_Log->clear();
}

void MainWindow::on_m_buttonAuto_2_clicked()
{
    startRun(RunSettings::Kind::Production);
}

void MainWindow::selectFile(QLineEdit* edit)
{
    edit->setText(
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Binaries (*.bin)")));
}

void MainWindow::on_nRFFileSelect_clicked()
{
    selectFile(ui->m_lineEdit_1);
}

void MainWindow::on_nRFFileSelect_2_clicked()
{
    selectFile(ui->m_lineEdit_2);
}

void MainWindow::on_nRFFileSelect_3_clicked()
{
    selectFile(ui->m_lineEdit_3);
}

void MainWindow::on_nRFFileSelect_4_clicked()
{
    selectFile(ui->m_lineEdit_4);
}

void MainWindow::on_m_clearLog_2_clicked()
{
    ui->m_Log_2->clear();
}

void MainWindow::on_m_retest_clicked()
{
    startRun(RunSettings::Kind::Retest);
}

void MainWindow::on_m_boxAutoIncProdSerial_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
    ui->m_editProdID->setEnabled(!ui->m_boxAutoIncProdSerial->isChecked());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (flashingWorker) {
        m_runHost.stop(QStringLiteral("window closed"));
        m_runHost.join();
        // What the run posted before it saw the stop (its last lines, perhaps its end) is
        // handled as usual, so nothing of it arrives after the run objects are gone.
        QCoreApplication::sendPostedEvents(&m_runHost, QEvent::MetaCall);
        if (flashingWorker)
            tearDownRun();
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::startRun(RunSettings::Kind kind)
{
    // The start buttons are disabled during a run; this guards a click already queued.
    if (flashingWorker)
        return;

    qDebug() << "COM ports at start";
    for (const QString& port : qAsConst(portsAtStart))
        qDebug().noquote() << QStringLiteral("    ") + port;

    setStartButtonsEnabled(false);

    const bool production = kind == RunSettings::Kind::Production;
    RunSettings settings;
    settings.kind = kind;
    settings.deviceId =
        static_cast<quint64>(production ? ui->m_editProdID->value() : ui->m_editID->value());
    settings.skipBootloader = ui->m_BootLdrCheck->isChecked();
    settings.setDeviceId =
        production ? ui->m_boxSetProdSerial->isChecked() : ui->m_boxSetSerial->isChecked();
    // A station with several probes names the one wired to the bench.
    settings.jlinkSerial = qEnvironmentVariable("VELTORA_JLINK_SERIAL").trimmed();
    settings.station = m_line->station;
    if (m_lineSender) {
        // Asked from the run's thread, on a connection of its own.
        const LineSettings line = *m_line;
        settings.lineUnit = [line](quint64 id) {
            LineDatabase db(line.connection, line.station);
            LineDatabase::Unit unit;
            LineUnitAnswer answer;
            answer.asked = db.findUnit(id, unit);
            answer.produced = unit.found;
            answer.station = unit.station;
            answer.run = unit.run;
            answer.time = unit.time;
            return answer;
        };
    }

    progressDialog = new Progress_c();
    progressDialog->show();
    mode = production ? 2 : 1;
    // The dialog's label follows the lines that go to the label; its connections go with it.
    Progress_c* dialog = progressDialog;
    connect(&m_runHost, &RunHost::sigLine, dialog,
            [dialog](const QString& text, LogColour, bool label) {
                if (label)
                    dialog->slotLabel(text);
            });
    connect(&m_runHost, &RunHost::sigProgress, dialog, &Progress_c::slotProgress);
    // The host makes the worker and starts workerThread; the run's end comes back here.
    flashingWorker = m_runHost.start(settings);
}

void MainWindow::tearDownRun()
{
    m_runHost.join();
    delete progressDialog;
    progressDialog = nullptr;
    m_runHost.end();
    // The run's journal line is written: it goes to the line now, not at the next look.
    if (m_lineSender)
        m_lineSender->wake();
    flashingWorker = nullptr;
    mode = 0;
    setStartButtonsEnabled(true);
}

void MainWindow::setStartButtonsEnabled(bool enabled)
{
    ui->m_buttonAuto->setEnabled(enabled);
    ui->m_retest->setEnabled(enabled);
    ui->m_buttonAuto_2->setEnabled(enabled);
}

// Between runs a line goes to the log view of the tab in front; the Manual tab has none, so
// there it goes to the Production view.
QTextEdit* MainWindow::logViewFor(int runMode) const
{
    if (runMode == 1)
        return ui->m_Log;
    if (runMode == 2)
        return ui->m_Log_2;
    return ui->m_tabMode->currentWidget() == ui->tab ? ui->m_Log : ui->m_Log_2;
}
