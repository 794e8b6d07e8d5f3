// veltora-cli's arguments as its parser reads them: help texts, and the usage errors with the
// help their hint points at.
#include <QtTest>

#include "command_line.h"
#include "logger.h"
#include "unit.h"

using cli::CommandLine;

Q_DECLARE_METATYPE(CommandLine::Action)

class CommandLineParsing : public QObject
{
    Q_OBJECT
private slots:
    void usage_data();
    void usage();
};

void CommandLineParsing::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QString>("text");    // what the help or the error says, in part
    QTest::addColumn<QString>("helpFor"); // an error's hint points at this help
    const auto help = CommandLine::Action::Help;
    const auto error = CommandLine::Action::Error;
    const QString program = "veltora-cli";
    QTest::newRow("help") << QStringList{"--help"} << help << "  production   download the"
                          << "";
    QTest::newRow("a command's help")
        << QStringList{"production", "--device-id=x", "--help"} << help
        << "Usage: veltora-cli production --device-id N [options]\n"
        << "";
    QTest::newRow("no command") << QStringList() << error << "missing command" << program;
    QTest::newRow("unknown command")
        << QStringList{"flash"} << error << "unknown command 'flash'" << program;
    for (const char* id : {"12x", " 5", "5\n", "+5", "18446744073709551616"})
        QTest::newRow(qPrintable("device id '" + escapeControls(id) + "'"))
            << QStringList{"production", "--device-id", id} << error << "--device-id needs"
            << "veltora-cli production";
    QTest::newRow("device id to write missing")
        << QStringList{"production", "--station-dir", "/srv/a"} << error
        << "production writes a Device ID"
        << "veltora-cli production";
    QTest::newRow("test's device id missing")
        << QStringList{"test", "--station-dir=/srv/a", "--set-device-id"} << error
        << "test writes a Device ID"
        << "veltora-cli test";
    QTest::newRow("missing value")
        << QStringList{"test", "--station-dir"} << error << "missing value after '--station-dir'"
        << "veltora-cli test";
    QTest::newRow("fetch without --to")
        << QStringList{"fetch", "--selector", "1", "a.bin"} << error << "fetch needs"
        << "veltora-cli fetch";
    // Both ends of every range: the last value taken, the next one refused.
    const auto run = CommandLine::Action::Run;
    const QStringList fetch{"fetch", "--to", "/tmp", "a.bin", "--selector"};
    QTest::newRow("longest time limit")
        << QStringList{"production", "--no-set-device-id", "--time-limit", "86400"} << run << ""
        << "";
    QTest::newRow("Device ID 0") << QStringList{"production", "--device-id", "0"} << run << ""
                                 << "";
    QTest::newRow("highest selector") << fetch + QStringList{"65535"} << run << ""
                                      << "";
    QTest::newRow("the 31st") << QStringList{"report", "--until", "2024-05-31"} << run << ""
                              << "";
    for (const char* limit : {"0", "86401"})
        QTest::newRow(qPrintable(QString("time limit ") + limit))
            << QStringList{"production", "--time-limit", limit} << error << "--time-limit"
            << "veltora-cli production";
    QTest::newRow("selector over 65535")
        << fetch + QStringList{"65536"} << error << "--selector needs"
        << "veltora-cli fetch";
    for (const char* date : {"2024-02-30", "2024/05/06", "2024.05.06"})
        QTest::newRow(date) << QStringList{"report", "--since", date} << error << "--since needs"
                            << "veltora-cli report";
    QTest::newRow("until a date with slashes")
        << QStringList{"report", "--until=2024/05/06"} << error << "--until needs"
        << "veltora-cli report";
    QTest::newRow("init-station without a folder")
        << QStringList{"init-station"} << error << "init-station needs one folder DIR"
        << "veltora-cli init-station";
    QTest::newRow("station without its first ID")
        << QStringList{"station", "--station-dir", "/srv/a", "--slots", "4"} << error
        << "station needs --station-dir DIR and --first-id N"
        << "veltora-cli station";
    QTest::newRow("station of no slots")
        << QStringList{"station", "--station-dir=/srv/a", "--first-id=1", "--slots=0"} << error
        << "--slots needs"
        << "veltora-cli station";
    QTest::newRow("database no PostgreSQL URL")
        << QStringList{"retest", "--database", "mysql://h/d"} << error
        << "--database needs a postgresql:// URL, not 'mysql://h/d'"
        << "veltora-cli retest";
    QTest::newRow("db sync with a first ID") << QStringList{"db", "sync", "--first-id", "5"}
                                             << error << "--first-id goes with db init only"
                                             << "veltora-cli db";
    QTest::newRow("db without what to do")
        << QStringList{"db"} << error << "db needs one of init, status or sync"
        << "veltora-cli db";
    QTest::newRow("until before since")
        << QStringList{"report", "--since", "2024-05-07", "--until", "2024-05-06"} << error
        << "--until 2024-05-06 is before --since 2024-05-07"
        << "veltora-cli report";
}

void CommandLineParsing::usage()
{
    QFETCH(QStringList, args);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, text);
    QFETCH(QString, helpFor);
    const CommandLine line = cli::parseCommandLine(args);
    QCOMPARE(line.action, action);
    QVERIFY2(line.text.contains(text), qPrintable(line.text));
    QCOMPARE(line.helpFor, helpFor);
}

UNIT_TEST(CommandLineParsing)
#include "unit_command_line.moc"
