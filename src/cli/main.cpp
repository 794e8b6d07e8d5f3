#include <QCoreApplication>
#include <cstdio>

#include "append_file.h"
#include "command_line.h"
#include "logger.h"
#include "session.h"
#include "station_commands.h"
#include "station_mode.h"
#include "stop_signals.h"
#include "terminal_output.h"
#include "version.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    failWritesPastFileSizeLimit();
    const cli::CommandLine line = cli::parseCommandLine(app.arguments().mid(1));
    switch (line.action) {
    case cli::CommandLine::Action::Error:
        std::fprintf(stderr, "veltora-cli: %s\nTry '%s --help'.\n",
                     qUtf8Printable(escapeControls(line.text)), qUtf8Printable(line.helpFor));
        return cli::ExitUsage;
    case cli::CommandLine::Action::Help:
        std::fputs(qUtf8Printable(line.text), stdout);
        return cli::ExitSuccess;
    case cli::CommandLine::Action::Version:
        std::printf("veltora-cli %s\n", kVeltoraVersion);
        return cli::ExitSuccess;
    case cli::CommandLine::Action::Run:
        break;
    }
    cli::installDiagnosticTrace(line.options.verbose);
    switch (line.options.command) {
    case cli::Command::Report:
        return cli::printReport(line.options);
    case cli::Command::Doctor:
        return cli::printDoctor(line.options);
    case cli::Command::InitStation:
        return cli::runInitStation(line.options);
    case cli::Command::Station:
        return cli::runStation(line.options);
    case cli::Command::Db:
        return cli::runDb(line.options);
    case cli::Command::Production:
    case cli::Command::Test:
    case cli::Command::Retest:
    case cli::Command::Fetch:
        break;
    }
    return cli::runSession(line.options);
}
