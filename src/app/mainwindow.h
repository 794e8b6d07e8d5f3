#pragma once
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QThread>
#include <memory>

#include "logger.h"
#include "run_host.h"

class Flashing_c;
class LineSenderThread;
struct LineSettings;
class Progress_c;
class QCloseEvent;
class QLineEdit;
class QTextEdit;
class Ui_MainWindow;

// The operator's window: starts runs, shows their log and ends them; the only long-lived object.
class MainWindow : public QMainWindow
{
    Q_OBJECT
    friend class tst_MainWindow;
    friend class tst_RunControl;

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

public slots:
    void Log(QString line);
    void on_flashingFinished(bool Success);

private slots:
    void on_m_buttonAuto_clicked();
    void on_m_clearLog_clicked();
    void on_m_buttonAuto_2_clicked();
    void on_nRFFileSelect_clicked();
    void on_nRFFileSelect_2_clicked();
    void on_nRFFileSelect_3_clicked();
    void on_nRFFileSelect_4_clicked();
    void on_m_clearLog_2_clicked();
    void on_m_retest_clicked();
    void on_m_boxAutoIncProdSerial_stateChanged(int arg1);

protected:
    // A run still going when the window closes is stopped and torn down first.
    void closeEvent(QCloseEvent* event) override;

private:
    void startRun(RunSettings::Kind kind);
    // Stops the worker, ends workerThread and deletes the run objects; mode goes back to 0.
    void tearDownRun();
    void setStartButtonsEnabled(bool enabled);
    // The Manual tab's "..." buttons: a file chosen for the line edit beside them.
    void selectFile(QLineEdit* edit);
    QTextEdit* logViewFor(int runMode) const;

    QThread workerThread;
    Flashing_c* flashingWorker;
    Progress_c* progressDialog;
    int mode;
    Ui_MainWindow* ui;
    // Printed under "COM ports at start" when a run starts; nothing fills it.
    QStringList portsAtStart;
    Logger_c logger;
    RunHost m_runHost{workerThread, logger};
    // The station's place on a line (station.ini, VELTORA_DATABASE), and the thread that sends
    // its journal there, off the GUI thread.
    std::unique_ptr<LineSettings> m_line;
    std::unique_ptr<LineSenderThread> m_lineSender;
};
