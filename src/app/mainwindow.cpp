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
#include "progress.h"
#include "ui_mainwindow.h"

namespace {

QColor colourForCode(int code)
{
    switch (code) {
    case 1:
        return QColor(QStringLiteral("red"));
    case 2:
        return QColor(QStringLiteral("yellow"));
    case 3:
        return QColor(QStringLiteral("blue"));
    case 4:
        return QColor(QStringLiteral("green"));
    default:
        return QColor(QStringLiteral("black"));
    }
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
}

MainWindow::~MainWindow()
{
    if (flashingWorker)
        tearDownRun();
    delete ui;
}

void MainWindow::Log(QString line)
{
    const int code = line.isEmpty() ? -1 : line.at(0).digitValue();
    const QString text = line.mid(1);
    QTextEdit* view = logViewFor(mode);
    QTextCharFormat format = view->currentCharFormat();
    format.setForeground(QBrush(colourForCode(code), Qt::SolidPattern));
    // Only the new line gets the format: setting the view's current format would recolour
    // whatever the operator has selected.
    appendParagraph(view, text, format);
}

void MainWindow::on_flashingFinished(bool Success)
{
    // A late delivery after the run was already ended (window closing) has nothing to end.
    if (!flashingWorker)
        return;
    flashingWorker->stop();
    QThread::msleep(100);
    tearDownRun();
    if (Success && ui->m_boxAutoIncProdSerial->isChecked())
        ui->m_editProdID->stepUp();
}

void MainWindow::on_m_buttonAuto_clicked()
{
    startRun(RunKind::Test);
}

void MainWindow::on_m_clearLog_clicked()
{
    ui->m_Log->clear();
}

void MainWindow::on_m_buttonAuto_2_clicked()
{
    startRun(RunKind::Production);
}

void MainWindow::on_nRFFileSelect_clicked()
{
    ui->m_lineEdit_1->setText(
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Binaries (*.bin)")));
}

void MainWindow::on_nRFFileSelect_2_clicked()
{
    ui->m_lineEdit_2->setText(
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Binaries (*.bin)")));
}

void MainWindow::on_nRFFileSelect_3_clicked()
{
    ui->m_lineEdit_3->setText(
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Binaries (*.bin)")));
}

void MainWindow::on_nRFFileSelect_4_clicked()
{
    ui->m_lineEdit_4->setText(
        QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Binaries (*.bin)")));
}

void MainWindow::on_m_clearLog_2_clicked()
{
    ui->m_Log_2->clear();
}

void MainWindow::on_m_retest_clicked()
{
    startRun(RunKind::Retest);
}

void MainWindow::on_m_boxAutoIncProdSerial_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
    ui->m_editProdID->setEnabled(!ui->m_boxAutoIncProdSerial->isChecked());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (flashingWorker) {
        flashingWorker->stop();
        workerThread.quit();
        workerThread.wait();
        // What the run posted before it saw the stop (its last lines, perhaps its end) is
        // handled as usual, so nothing of it arrives after the run objects are gone.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (flashingWorker)
            tearDownRun();
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::startRun(RunKind kind)
{
    // The start buttons are disabled during a run; this guards a click already queued.
    if (flashingWorker)
        return;

    qDebug() << "COM ports at start";
    for (const QString& port : qAsConst(portsAtStart))
        qDebug().noquote() << QStringLiteral("    ") + port;

    setStartButtonsEnabled(false);

    const bool production = kind == RunKind::Production;
    const double idValue = production ? ui->m_editProdID->value() : ui->m_editID->value();
    const quint64 deviceId = static_cast<quint64>(idValue);
    const bool skipBootloader = production ? ui->m_BootLdrCheck->isChecked() : true;
    const bool setDeviceId =
        production ? ui->m_boxSetProdSerial->isChecked() : ui->m_boxSetSerial->isChecked();
    const QString folder =
        production ? QStringLiteral("/Production/") : QStringLiteral("/TestFiles/");

    flashingWorker = new Flashing_c(deviceId, skipBootloader, folder, setDeviceId, &logger);
    progressDialog = new Progress_c();
    progressDialog->show();
    mode = production ? 2 : 1;

    connect(flashingWorker, SIGNAL(on_flashFinish(bool)), this, SLOT(on_flashingFinished(bool)),
            Qt::AutoConnection);
    connect(&logger, SIGNAL(sigLog(QString)), this, SLOT(Log(QString)), Qt::AutoConnection);
    connect(&logger, SIGNAL(sigLabel(QString)), progressDialog, SLOT(slotLabel(QString)),
            Qt::AutoConnection);
    connect(&logger, SIGNAL(sigProgress(int)), progressDialog, SLOT(slotProgress(int)),
            Qt::AutoConnection);

    void (Flashing_c::*body)() = &Flashing_c::runProduction;
    if (kind == RunKind::Test)
        body = &Flashing_c::runTest;
    else if (kind == RunKind::Retest)
        body = &Flashing_c::runRetest;
    connect(&workerThread, &QThread::started, flashingWorker, body, Qt::AutoConnection);

    flashingWorker->moveToThread(&workerThread);
    workerThread.start(QThread::InheritPriority);
}

void MainWindow::tearDownRun()
{
    // quit() and wait(), never terminate(): the run body has returned (it emitted its end as its
    // last action) or returns at its next check of the stop flag.
    flashingWorker->stop();
    workerThread.quit();
    workerThread.wait();

    disconnect(flashingWorker, SIGNAL(on_flashFinish(bool)), this, SLOT(on_flashingFinished(bool)));
    disconnect(&logger, SIGNAL(sigLog(QString)), this, SLOT(Log(QString)));
    disconnect(&logger, SIGNAL(sigLabel(QString)), progressDialog, SLOT(slotLabel(QString)));
    disconnect(&logger, SIGNAL(sigProgress(int)), progressDialog, SLOT(slotProgress(int)));
    disconnect(&workerThread, &QThread::started, flashingWorker, nullptr);

    delete progressDialog;
    progressDialog = nullptr;
    delete flashingWorker;
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
