#include "command_line.h"

#include <QCommandLineParser>
#include <QDate>
#include <QHash>

#include "line_settings.h"

namespace cli {

namespace {

const QString kProgram = QStringLiteral("veltora-cli");
// Where the option help starts in a help text.
constexpr int kHelpColumn = 27;
constexpr int kCommandColumn = 15;

// Only ASCII digits, so a blank, a sign, a line break or another script's digit is refused
// rather than read around.
bool digitsValue(const QString& text, quint64 max, quint64& value)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const quint64 v = text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    value = v;
    return true;
}

// Only YYYY-MM-DD: the report compares the dates as text.
bool isIsoDate(const QString& text)
{
    if (text.size() != 10 || text[4] != QLatin1Char('-') || text[7] != QLatin1Char('-'))
        return false;
    quint64 y = 0, m = 0, d = 0;
    return digitsValue(text.left(4), 9999, y) && digitsValue(text.mid(5, 2), 12, m) &&
           digitsValue(text.mid(8, 2), 31, d) && QDate(int(y), int(m), int(d)).isValid();
}

QString needs(const char* option, const char* what, const QString& value)
{
    return QStringLiteral("--%1 needs %2, not '%3'")
        .arg(QLatin1String(option), QLatin1String(what), value);
}

template <bool Options::*member, bool value> QString setFlag(Options& o, const QString&)
{
    o.*member = value;
    return {};
}

// The report's options with a value, checked and taken by the report itself; a date only as
// YYYY-MM-DD, since the report compares dates as text.
template <const char* option> QString reportOption(Options& o, const QString& value)
{
    const QString name = QStringLiteral("--") + QLatin1String(option);
    const bool date = name == QLatin1String("--since") || name == QLatin1String("--until");
    if (date && !isIsoDate(value))
        return QStringLiteral("%1 needs a date YYYY-MM-DD, not '%2'").arg(name, value);
    QString error;
    takeReportOption(o.report, name, value, error);
    return error;
}
constexpr char kSince[] = "since";
constexpr char kUntil[] = "until";
constexpr char kStation[] = "station";
constexpr char kCsv[] = "csv";
constexpr char kHtml[] = "html";

// One option: its names (one letter: a short one), its value's name (empty: a flag), its help
// and what it sets; apply returns a message for a value it does not take. Each occurrence is
// applied in the order given, so a later one wins and a repeated one can collect its values.
struct OptionDef
{
    QStringList names;
    QString valueName;
    QString help;
    QString (*apply)(Options& o, const QString& value);
};

const QList<OptionDef> kOptions = {
    {{"station-dir"},
     "DIR",
     "station folder (Production/, TestFiles/, Keys/, MAC/);\n"
     "default: the program's own folder where it holds\n"
     "Production/ or TestFiles/, else VELTORA_STATION_DIR",
     [](Options& o, const QString& v) -> QString {
         if (v.isEmpty())
             return QStringLiteral("--station-dir needs a folder");
         o.stationDir = v;
         return {};
     }},
    {{"device-id"},
     "N",
     "Device ID to write, 0..18446744073709551615; needed\n"
     "unless --no-set-device-id",
     [](Options& o, const QString& v) -> QString {
         if (!digitsValue(v, Q_UINT64_C(18446744073709551615), o.deviceId))
             return needs("device-id", "a whole number from 0 to 18446744073709551615", v);
         o.deviceIdGiven = true;
         return {};
     }},
    {{"set-device-id"}, "", "write the Device ID (default)", setFlag<&Options::setDeviceId, true>},
    {{"no-set-device-id"},
     "",
     "do not write the Device ID (production: no key,\n"
     "no records)",
     setFlag<&Options::setDeviceId, false>},
    {{"skip-bootloader"},
     "",
     "reject a device in its bootloader at the probe (default)",
     setFlag<&Options::skipBootloader, true>},
    {{"no-skip-bootloader"},
     "",
     "accept a device in its bootloader at the probe",
     setFlag<&Options::skipBootloader, false>},
    {{"time-limit"},
     "SECONDS",
     "stop the run after this many seconds, 1..86400\n"
     "(exit code 124)",
     [](Options& o, const QString& v) -> QString {
         quint64 n = 0;
         if (!digitsValue(v, 24 * 3600, n) || n == 0)
             return needs("time-limit", "a whole number of seconds from 1 to 86400", v);
         o.timeLimitSeconds = int(n);
         return {};
     }},
    {{"selector"},
     "N",
     "selector passed to the device, 0..65535",
     [](Options& o, const QString& v) -> QString {
         quint64 n = 0;
         if (!digitsValue(v, 65535, n))
             return needs("selector", "a whole number from 0 to 65535", v);
         o.selector = quint16(n);
         o.selectorGiven = true;
         return {};
     }},
    {{"to"},
     "DIR",
     "local folder that receives the files",
     [](Options& o, const QString& v) -> QString {
         o.toDir = v;
         while (o.toDir.size() > 1 && o.toDir.endsWith(QLatin1Char('/')))
             o.toDir.chop(1);
         return {};
     }},
    {{"jlink-serial"},
     "SN",
     "the serial number of the J-Link probe to program\n"
     "through, when several are attached (-USB SN)",
     [](Options& o, const QString& v) -> QString {
         o.jlinkSerial = v.trimmed();
         if (o.jlinkSerial.isEmpty())
             return QStringLiteral("--jlink-serial needs a probe's serial number");
         return {};
     }},
    {{"port"},
     "P",
     "use only this port; a link such as /dev/serial/by-path/...\n"
     "stays with its hub port (station: once per fixture)",
     [](Options& o, const QString& v) -> QString {
         if (v.isEmpty())
             return QStringLiteral("--port needs a port name or path");
         o.ports.append(v);
         return {};
     }},
    {{"first-id"},
     "N",
     "the station's first Device ID, 0..18446744073709551615:\n"
     "its IDs start here, and never go below it",
     [](Options& o, const QString& v) -> QString {
         if (!digitsValue(v, Q_UINT64_C(18446744073709551615), o.firstId))
             return needs("first-id", "a whole number from 0 to 18446744073709551615", v);
         o.firstIdGiven = true;
         return {};
     }},
    {{"slots"},
     "K",
     "units produced at once, 1..256 (default 8)",
     [](Options& o, const QString& v) -> QString {
         quint64 n = 0;
         if (!digitsValue(v, 256, n) || n == 0)
             return needs("slots", "a whole number from 1 to 256", v);
         o.slotCount = int(n);
         return {};
     }},
    {{"count"},
     "M",
     "end once M units have finished, 1..1000000",
     [](Options& o, const QString& v) -> QString {
         quint64 n = 0;
         if (!digitsValue(v, 1000000, n) || n == 0)
             return needs("count", "a whole number from 1 to 1000000", v);
         o.count = int(n);
         return {};
     }},
    {{"restart-wait"},
     "SECONDS",
     "how long a restarting unit may be away, 1..3600\n"
     "(default 20)",
     [](Options& o, const QString& v) -> QString {
         quint64 n = 0;
         if (!digitsValue(v, 3600, n) || n == 0)
             return needs("restart-wait", "a whole number of seconds from 1 to 3600", v);
         o.restartWaitSeconds = int(n);
         return {};
     }},
    {{"since"}, "YYYY-MM-DD", "only runs started on or after this UTC date", reportOption<kSince>},
    {{"until"}, "YYYY-MM-DD", "only runs started on or before this UTC date", reportOption<kUntil>},
    {{"station"}, "NAME", "only this station's runs", reportOption<kStation>},
    {{"json"},
     "",
     "JSON instead of text (station: one object per\n"
     "event, a line each)",
     [](Options& o, const QString&) -> QString {
         o.json = true;
         o.report.json = true;
         return {};
     }},
    {{"csv"}, "FILE", "also write one row per run to FILE (CSV)", reportOption<kCsv>},
    {{"html"}, "FILE", "also write a page with plots to FILE", reportOption<kHtml>},
    {{"database"},
     "URL",
     "the line's PostgreSQL server, postgresql://...;\n"
     "default: VELTORA_DATABASE, else station.ini",
     [](Options& o, const QString& v) -> QString {
         QString why;
         ConnectionParams params;
         if (!parseDatabaseUrl(v, params, &why))
             return QStringLiteral("--database needs a postgresql:// URL, not '%1' (%2)")
                 .arg(v, why);
         o.database = v;
         return {};
     }},
    {{"v", "verbose"},
     "",
     "also print the diagnostic trace on standard error",
     setFlag<&Options::verbose, true>},
    // Answered before any other option is applied.
    {{"h", "help"}, "", "this text", nullptr},
    {{"version"}, "", "print the version and exit", nullptr},
};

// Taken by every command, after its own.
const QStringList kEveryCommand = {"database", "verbose", "help"};

const char kRunFooter[] =
    "Output: log lines go to standard output as they happen. On a terminal they are\n"
    "coloured: red errors, yellow warnings, blue information, green successes. Otherwise,\n"
    "and when NO_COLOR is set, every line starts with [E] error, [W] warning,\n"
    "[I] information, [OK] success or [.] any other line. Control characters in a line\n"
    "show as \\xHH. When standard error is a terminal it shows a progress bar while a file\n"
    "moves: the file's name, bytes done of the total, and the rate.\n"
    "\n"
    "The last line is the verdict, without a prefix: PASS, FAIL or STOPPED, the command,\n"
    "the Device ID when the run was to write one, and the time taken, e.g.\n"
    "  PASS production, Device ID 100234, 41.2 s\n"
    "  STOPPED retest, 3.0 s\n"
    "\n"
    "Exit codes: 0 success (PASS); 1 run failed (FAIL; the last red line says why);\n"
    "2 usage error (nothing run, no verdict); 124 time limit reached, 130 interrupted by\n"
    "Ctrl-C, SIGTERM or a closed standard output (both STOPPED: the run wrote nothing more\n"
    "after the stop and closed the port). A run that completed before the stop took effect\n"
    "exits 0 or 1.\n"
    "\n"
    "Environment: VELTORA_STATION_DIR names the station folder when --station-dir does not\n"
    "and the program's own folder is none. VELTORA_EXTRA_PORTS names a file of extra ports\n"
    "(\"<port> <vendor id>\" per line), read at every port listing. NO_COLOR, set and not\n"
    "empty, turns colour off.\n";

QString needsDeviceId(const Options& o)
{
    if (writesDeviceId(o) && !o.deviceIdGiven)
        return commandName(o.command) +
               QStringLiteral(" writes a Device ID: give --device-id N, or --no-set-device-id");
    return {};
}

QString oneFolder(const Options& o)
{
    if (o.names.size() != 1)
        return QStringLiteral("init-station needs one folder DIR");
    return {};
}

QString stationNeeds(const Options& o)
{
    // On a line the IDs come from the line's blocks: no first ID of the station's own.
    if (o.stationDir.isEmpty() ||
        (!o.firstIdGiven && !readLineSettings(o.stationDir, o.database).enabled()))
        return QStringLiteral("station needs --station-dir DIR and --first-id N");
    return {};
}

QString dbNeeds(const Options& o)
{
    static const QStringList actions = {"init", "status", "sync"};
    if (o.names.size() != 1 || !actions.contains(o.names.first()))
        return QStringLiteral("db needs one of init, status or sync");
    if (o.firstIdGiven && o.names.first() != QLatin1String("init"))
        return QStringLiteral("--first-id goes with db init only");
    return {};
}

const char kStationFooter[] =
    "Slots: every device port (or each --port) is a place for a unit; a unit that appears\n"
    "there gets a production run, at most --slots at once. A unit that finished, passed or\n"
    "failed, is not run again while it stays plugged in, across its restarts: it is told by\n"
    "its USB serial number, or by its hub port and the Device ID it holds. A unit away for\n"
    "longer than --restart-wait counts as pulled; a run whose unit does not come back from\n"
    "its restart within it fails.\n"
    "\n"
    "Device IDs come from the station's allocator (Logs/device_ids.json), from --first-id\n"
    "the first time; each is taken when it is written. A unit that a run of this station\n"
    "wrote an ID into and that did not pass keeps it; any other gets the next free ID.\n"
    "On a line (--database, VELTORA_DATABASE or station.ini) they come from the line's\n"
    "blocks instead, and --first-id is not needed.\n"
    "\n"
    "Output: on a terminal a summary line and one line per unit (port, Device ID, step or\n"
    "file with its progress, elapsed time, PASS or FAIL), with each verdict line above\n"
    "them. Otherwise every log line, prefixed with its port and [E], [W], [I], [OK] or [.].\n"
    "With --json one JSON object per line per event: started, step, progress, finished\n"
    "(result and Device ID), and the summary at the end. The last line says PASS, FAIL\n"
    "or STOPPED station, the units passed and failed, the first-pass yield, the units per\n"
    "hour and the time taken.\n"
    "\n"
    "Exit codes: 0 every unit that finished passed; 1 a unit failed; 2 usage error;\n"
    "130 stopped by Ctrl-C, SIGTERM or a closed standard output (each run ends as a\n"
    "stopped run does).\n";

QString fetchNeeds(const Options& o)
{
    if (!o.selectorGiven || o.toDir.isEmpty() || o.names.isEmpty())
        return QStringLiteral("fetch needs --selector N, --to DIR and at least one file name");
    return {};
}

// One command: its usage lines, its line in the list of commands, its help, the options it
// lists and those it takes without listing them, its arguments (none when empty) with their help,
// and what its options need together.
struct CommandDef
{
    Command command;
    QString name;
    QStringList usage;
    QString summary;
    QString about;
    QStringList options;
    QStringList unlisted;
    QString arguments;
    QString argumentsHelp;
    QString (*check)(const Options& o);
    const char* footer;
};

const QList<CommandDef> kCommands = {
    {Command::Production,
     "production",
     {"production --device-id N [options]", "production --no-set-device-id [options]"},
     "download the production files, write the Device ID and records",
     "Runs one production run: reads Production/production_files.cfg, waits for the device's\n"
     "port, downloads the listed files and, unless --no-set-device-id, writes the Device ID,\n"
     "restarts the device, has it create its key, and appends its public key and MAC\n"
     "addresses to Keys/public_keys.json and MAC/MACs.txt.",
     {"station-dir", "device-id", "set-device-id", "no-set-device-id", "skip-bootloader",
      "no-skip-bootloader", "port", "time-limit"},
     {},
     {},
     {},
     needsDeviceId,
     kRunFooter},
    {Command::Test,
     "test",
     {"test --device-id N [options]", "test --no-set-device-id [options]"},
     "program the nRF images, write the Device ID, download test files",
     "Runs one test run: programs each j: image of TestFiles/test_files.cfg through the\n"
     "J-Link commander, waits for the device to come back on a new port, writes the Device ID\n"
     "unless --no-set-device-id, and downloads the c: test files. A device in its bootloader\n"
     "is always sent on to its firmware (--skip-bootloader and its --no- form are ignored).",
     {"station-dir", "device-id", "set-device-id", "no-set-device-id", "jlink-serial", "port",
      "time-limit"},
     {"skip-bootloader", "no-skip-bootloader"},
     {},
     {},
     needsDeviceId,
     kRunFooter},
    {Command::Retest,
     "retest",
     {"retest [options]"},
     "delete the device's test history and restart it",
     "Finds the device (sending it on from its bootloader if needed), deletes its test\n"
     "history testres.bin and restarts it. It writes no Device ID: --device-id,\n"
     "--set-device-id and --skip-bootloader, and their --no- forms, are ignored.",
     {"station-dir", "port", "time-limit"},
     {"device-id", "set-device-id", "no-set-device-id", "skip-bootloader", "no-skip-bootloader"},
     {},
     {},
     nullptr,
     kRunFooter},
    {Command::Fetch,
     "fetch",
     {"fetch --selector N --to DIR [options] NAME..."},
     "copy files from the device into a local folder",
     "Copies the named files from the device into the --to folder; a name with a path lands\n"
     "below it, in a sub-folder that must exist. Each file replaces an earlier copy only once\n"
     "it has arrived whole. Names must be shorter than 24 bytes. --station-dir names the\n"
     "station whose run journal the fetch goes into.",
     {"station-dir", "selector", "to", "port", "time-limit"},
     {},
     "NAME...",
     "files to copy, by their name on the device",
     fetchNeeds,
     kRunFooter},
    {Command::Report,
     "report",
     {"report [options]"},
     "sum up the station's run journal",
     "Sums up the station's run journal Logs/runs.jsonl for a period: per kind of run the\n"
     "units, first-pass and final yield, retest rate, units per hour, durations, failures by\n"
     "step and by red line, stopped runs by cause, per day and per station; the Device IDs\n"
     "produced, repeated and re-identified. --csv writes one row per run, --html a page\n"
     "with plots that opens without a network. With --database: the whole line's runs, as\n"
     "its server holds them, per station and in total.",
     {"station-dir", "since", "until", "station", "json", "csv", "html"},
     {},
     {},
     {},
     nullptr,
     "Exit codes: 0 done, 1 the journal cannot be read or a file cannot be written,\n"
     "2 usage error.\n"},
    {Command::Doctor,
     "doctor",
     {"doctor [options]"},
     "check this PC and the station folder for runs",
     "Checks what a run needs and says in one line each: ok, or the problem and what to do.\n"
     "The station folder and its lists, the files they name, the record files, the\n"
     "journal's folder; the J-Link commander (where it was found, and a start with a\n"
     "script that only quits); the device ports seen and whether this account may open\n"
     "them; on Linux the operator's groups, the udev rule and ModemManager; the folder of\n"
     "port locks. A missing station folder is a problem here, not a usage error.",
     {"station-dir"},
     {},
     {},
     {},
     nullptr,
     "Output: one line per check, [OK], [W] (worth knowing, no run fails for it) or [E]\n"
     "(a run would fail), coloured instead on a terminal; then how many problems stand in\n"
     "the way of a run.\n"
     "\n"
     "Exit codes: 0 nothing stands in the way of a run, 1 something does, 2 usage error.\n"},
    {Command::InitStation,
     "init-station",
     {"init-station DIR"},
     "make a station folder from the skeleton",
     "Copies the station folder skeleton (Production/ and TestFiles/ with sample lists, Keys/,\n"
     "MAC/) into DIR, making it when missing. Files already there are kept as they are:\n"
     "nothing is overwritten. The skeleton is ../share/veltora/station from the program's\n"
     "folder (/usr/share/veltora/station when installed).",
     {},
     {},
     "DIR",
     "the station folder to make or complete",
     oneFolder,
     "Exit codes: 0 done, 1 a file or folder could not be made, 2 usage error.\n"},
    {Command::Station,
     "station",
     {"station --station-dir DIR --first-id N [options]"},
     "produce every unit plugged in, several at once",
     "Watches the device ports and runs production on every unit that appears, several at\n"
     "once, each with the next Device ID of the station: the same run as the production\n"
     "command, each with its journal line, day-log lines and records. Ends after --count\n"
     "units have finished, or at Ctrl-C, with a summary.",
     {"station-dir", "first-id", "slots", "count", "port", "restart-wait", "json",
      "skip-bootloader", "no-skip-bootloader"},
     {},
     {},
     {},
     stationNeeds,
     kStationFooter},
    {Command::Db,
     "db",
     {"db init [--first-id N] [options]", "db status [options]", "db sync [options]"},
     "set up the line's database, show it, send the journal",
     "Works on the line's PostgreSQL server (--database, VELTORA_DATABASE or the station\n"
     "folder's station.ini). init creates the tables or upgrades them (again: nothing\n"
     "changes) and, with --first-id, sets where the line's Device IDs start. status shows\n"
     "the schema version, the stations' runs and Device ID blocks, and this station's\n"
     "journal entries not sent yet. sync sends them now and says how many.",
     {"station-dir", "first-id"},
     {},
     "init|status|sync",
     "what to do",
     dbNeeds,
     "Exit codes: 0 done, 1 the server could not be reached or refused, 2 usage error\n"
     "(also: no database setting).\n"},
};

const OptionDef* findOption(const QString& name)
{
    for (const OptionDef& option : kOptions) {
        if (option.names.contains(name))
            return &option;
    }
    return nullptr;
}

QString dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

QString helpLine(QString left, const QString& help, int column = kHelpColumn)
{
    left = QStringLiteral("  ") + left;
    left = left.size() < column ? left.leftJustified(column) : left + QLatin1Char(' ');
    return left +
           QString(help).replace(QLatin1Char('\n'), QLatin1Char('\n') + QString(column, ' ')) +
           QLatin1Char('\n');
}

QString optionHelp(const QStringList& names)
{
    QString text = QStringLiteral("\nOptions:\n");
    for (const QString& name : names) {
        const OptionDef& option = *findOption(name);
        QStringList forms;
        for (const QString& n : option.names)
            forms << dashed(n);
        QString left = forms.join(QStringLiteral(", "));
        if (!option.valueName.isEmpty())
            left += QLatin1Char(' ') + option.valueName;
        text += helpLine(left, option.help);
    }
    return text;
}

QString usageLines(const QStringList& lines)
{
    QString text;
    for (const QString& line : lines) {
        text += (text.isEmpty() ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                kProgram + QLatin1Char(' ') + line + QLatin1Char('\n');
    }
    return text;
}

QString globalHelp()
{
    QString text =
        usageLines({QStringLiteral("COMMAND [options]")}) +
        QLatin1String(
            "\n"
            "Runs one production run, test run or re-test on the device with the same run\n"
            "bodies as the window, fetches files from it, runs production on several units at\n"
            "once, sums up the station's run journal, checks this PC for runs or makes a station\n"
            "folder. Every run appends one line to the station's run journal Logs/runs.jsonl and\n"
            "its log lines to the day log Logs/<UTC date>.log.\n"
            "\n"
            "Commands:\n");
    for (const CommandDef& command : kCommands)
        text += helpLine(command.name, command.summary, kCommandColumn);
    return text + optionHelp({QStringLiteral("help"), QStringLiteral("version")}) +
           QLatin1String("\n'veltora-cli COMMAND --help' describes a command: its options, its "
                         "output and its\nexit codes.\n");
}

QString commandHelp(const CommandDef& command)
{
    QString text = usageLines(command.usage) + QLatin1Char('\n') + command.about +
                   QLatin1Char('\n') + optionHelp(command.options + kEveryCommand);
    if (!command.arguments.isEmpty())
        text += helpLine(command.arguments, command.argumentsHelp);
    return text + QLatin1Char('\n') + QLatin1String(command.footer);
}

CommandLine usageError(const QString& message, const QString& helpFor)
{
    CommandLine line;
    line.action = CommandLine::Action::Error;
    line.text = message;
    line.helpFor = helpFor;
    return line;
}

CommandLine helpText(const QString& text)
{
    CommandLine line;
    line.action = CommandLine::Action::Help;
    line.text = text;
    return line;
}

// The parser's own complaint in the form of ours: lower case, no full stop.
QString parserError(const QCommandLineParser& parser, const QString& command)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString text = QStringLiteral("unknown option '%1'").arg(dashed(unknown.first()));
        return command.isEmpty() ? text : text + QStringLiteral(" for ") + command;
    }
    QString text = parser.errorText();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

void addOptions(QCommandLineParser& parser, const QStringList& names)
{
    for (const QString& name : names) {
        const OptionDef& option = *findOption(name);
        parser.addOption(option.valueName.isEmpty()
                             ? QCommandLineOption(option.names, option.help)
                             : QCommandLineOption(option.names, option.help, option.valueName));
    }
}

CommandLine parseCommand(const CommandDef& command, const QStringList& args)
{
    const QString helpFor = kProgram + QLatin1Char(' ') + command.name;
    QCommandLineParser parser;
    addOptions(parser, command.options + command.unlisted + kEveryCommand);
    const bool parsed = parser.parse(QStringList{kProgram} + args);
    if (parser.isSet(QStringLiteral("help")))
        return helpText(commandHelp(command));
    if (!parsed)
        return usageError(parserError(parser, command.name), helpFor);

    CommandLine line;
    line.action = CommandLine::Action::Run;
    Options& o = line.options;
    o.command = command.command;
    QHash<const OptionDef*, int> seen;
    for (const QString& name : parser.optionNames()) {
        const OptionDef* option = findOption(name);
        if (!option->apply)
            continue;
        const QString value =
            option->valueName.isEmpty() ? QString() : parser.values(name).value(seen[option]++);
        const QString error = option->apply(o, value);
        if (!error.isEmpty())
            return usageError(error, helpFor);
    }
    o.names = parser.positionalArguments();
    if (command.arguments.isEmpty() && !o.names.isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(o.names.first()), helpFor);
    const QString error = command.check ? command.check(o) : QString();
    return error.isEmpty() ? line : usageError(error, helpFor);
}

} // namespace

QString commandName(Command command)
{
    for (const CommandDef& def : kCommands) {
        if (def.command == command)
            return def.name;
    }
    return {};
}

bool writesDeviceId(const Options& o)
{
    return (o.command == Command::Production || o.command == Command::Test) && o.setDeviceId;
}

CommandLine parseCommandLine(const QStringList& args)
{
    // Options before the command are the program's own; everything from the command on is the
    // command's.
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    addOptions(parser, {QStringLiteral("help"), QStringLiteral("version")});
    const bool parsed = parser.parse(QStringList{kProgram} + args);
    if (parser.isSet(QStringLiteral("help")))
        return helpText(globalHelp());
    if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty() && findOption(unknown.first()))
            return usageError(
                QStringLiteral("%1 goes after the command").arg(dashed(unknown.first())), kProgram);
        return usageError(parserError(parser, QString()), kProgram);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        CommandLine line;
        line.action = CommandLine::Action::Version;
        return line;
    }
    const QStringList rest = parser.positionalArguments();
    QStringList names;
    for (const CommandDef& command : kCommands)
        names << command.name;
    const QString last = names.takeLast();
    const QString commands = names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
    if (rest.isEmpty())
        return usageError(QStringLiteral("missing command (%1)").arg(commands), kProgram);
    for (const CommandDef& command : kCommands) {
        if (command.name == rest.first())
            return parseCommand(command, rest.mid(1));
    }
    return usageError(QStringLiteral("unknown command '%1' (%2)").arg(rest.first(), commands),
                      kProgram);
}

} // namespace cli
