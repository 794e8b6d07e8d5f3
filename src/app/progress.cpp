#include "progress.h"

#include "ui_progress.h"

Progress_c::Progress_c(QWidget* parent) : QWidget(parent), ui(new Ui_Progress_c)
{
    ui->setupUi(this);
}

Progress_c::~Progress_c()
{
    delete ui;
}

// Cancel only hides the window; the run goes on and the window goes at its end.
void Progress_c::on_BtnCancel_clicked()
{
    close();
    emit SigExit(false);
}

void Progress_c::slotProgress(int percent)
{
    ui->progressBar->setValue(percent);
}

// Run texts can carry device-supplied parts (file names, version texts); they are shown as they
// are, never interpreted as markup.
void Progress_c::slotLabel(QString Text)
{
    ui->labelSearch->setTextFormat(Qt::PlainText);
    ui->labelSearch->setText(Text);
}
