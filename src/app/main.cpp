#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

#include "append_file.h"
#include "line_settings.h"
#include "mainwindow.h"
#include "station.h"
#include "version.h"

namespace {

void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Production and test station for Veltora devices."));
    parser.addHelpOption();
    // No -v: veltora-cli's -v is its trace, and one letter should not mean two things.
    parser.addOption({QStringLiteral("version"), QStringLiteral("Displays version information.")});
    parser.addOption({QStringLiteral("station-dir"),
                      QStringLiteral("Folder holding Production/, TestFiles/, Keys/ and MAC/ "
                                     "(default: the program's own folder where it holds "
                                     "Production/ or TestFiles/, else VELTORA_STATION_DIR)."),
                      QStringLiteral("DIR")});
}

bool asksForHelpOrVersion(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") ||
            !std::strcmp(argv[i], "-?") || !std::strcmp(argv[i], "--help-all") ||
            !std::strcmp(argv[i], "--version"))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    failWritesPastFileSizeLimit();
    QCoreApplication::setApplicationName(QStringLiteral("veltora"));
    QCoreApplication::setApplicationVersion(QLatin1String(kVeltoraVersion));

    // Help and version need no display, so they are answered before the GUI application exists.
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication core(argc, argv);
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(core);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        return 0;
    }

    QApplication app(argc, argv);
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);

    if (parser.isSet(QStringLiteral("station-dir"))) {
        const QFileInfo dir(parser.value(QStringLiteral("station-dir")));
        if (!dir.isDir()) {
            std::fprintf(stderr, "veltora: no such station folder: %s\n",
                         qPrintable(QDir::toNativeSeparators(dir.filePath())));
            return 2;
        }
    }
    const StationChoice choice = chooseStationDir(parser.value(QStringLiteral("station-dir")));
    if (choice.dir.isEmpty()) {
        // Started from a menu, the operator sees no standard error.
        QString text = choice.error + QStringLiteral(".\n\nCreate a station folder with "
                                                     "'veltora-cli init-station DIR'.");
        std::fprintf(stderr, "veltora: %s\n", qUtf8Printable(text));
        text[0] = text[0].toUpper();
        QMessageBox::critical(nullptr, QStringLiteral("Veltora manufacturing"), text);
        return 2;
    }
    setStationDir(choice.dir);
    const LineSettings line = readLineSettings(choice.dir);
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "veltora: %s\n", qUtf8Printable(line.error));
        QMessageBox::critical(nullptr, QStringLiteral("Veltora manufacturing"), line.error);
        return 2;
    }

    MainWindow window;
    window.show();
    return app.exec();
}
