// Renders the main window (each tab) and a progress dialog to PNG files for the documentation.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <cstdio>

#include "mainwindow.h"
#include "progress.h"

namespace {

bool save(QWidget* widget, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "veltora-screenshot: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!dir.exists() && !QDir().mkpath(dir.path()))
        return 1;

    MainWindow window;
    window.show();
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("m_tabMode"));
    if (!tabs)
        return 1;

    // A few lines of a production run, as the operator would see them.
    window.Log(QStringLiteral("0Applying the default file list"));
    window.Log(QStringLiteral("0Searching for the device's COM port"));
    window.Log(QStringLiteral("4Found device connected to /dev/ttyACM0"));
    window.Log(QStringLiteral("4Firmware version is VELTORA-FW 3.2.0"));
    window.Log(QStringLiteral("3Device ID: 0"));
    window.Log(QStringLiteral("0Found 4 file(s) for flashing"));
    window.Log(QStringLiteral("4system.bin file was successfully downloaded"));
    window.Log(QStringLiteral("1Error while the Device ID writing"));

    bool ok = true;
    const char* names[] = {"main-test.png", "main-production.png", "main-manual.png"};
    for (int i = 0; i < 3; ++i) {
        tabs->setCurrentIndex(i);
        QApplication::processEvents();
        ok = save(&window, dir, QLatin1String(names[i])) && ok;
    }

    Progress_c progress;
    progress.show();
    progress.slotProgress(40);
    QApplication::processEvents();
    ok = save(&progress, dir, QStringLiteral("progress.png")) && ok;
    return ok ? 0 : 1;
}
