#include <QCoreApplication>
#include <cstdio>

#include "cli_runner.h"
#include "logger.h"

namespace {
bool g_verbose = false;

// The diagnostic trace is for people debugging a station; the log lines are the output.
void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg && !g_verbose)
        return;
    std::fprintf(stderr, "%s\n", qUtf8Printable(escapeControls(message)));
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    cli::Options options;
    QString error;
    if (!cli::parseArguments(app.arguments().mid(1), options, error)) {
        std::fprintf(stderr, "veltora-cli: %s\nTry 'veltora-cli --help'.\n",
                     qUtf8Printable(escapeControls(error)));
        return cli::ExitUsage;
    }
    g_verbose = options.verbose;
    qInstallMessageHandler(messageHandler);
    if (options.help) {
        std::fputs(qUtf8Printable(cli::usageText()), stdout);
        return cli::ExitSuccess;
    }
    return options.mode == "report" ? cli::printReport(options) : cli::run(options);
}
