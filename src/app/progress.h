#pragma once
#include <QString>
#include <QWidget>

class Ui_Progress_c;

// The small window that follows a run: one label line and a progress bar, fed by Logger_c.
class Progress_c : public QWidget
{
    Q_OBJECT
public:
    explicit Progress_c(QWidget* parent = nullptr);
    ~Progress_c() override;

signals:
    // Emitted by Cancel, always with false. Nothing connects to it: Cancel only hides the dialog.
    void SigExit(bool Success);

private slots:
    void on_BtnCancel_clicked();

public slots:
    void slotProgress(int percent);
    void slotLabel(QString Text);

private:
    Ui_Progress_c* ui;
};
