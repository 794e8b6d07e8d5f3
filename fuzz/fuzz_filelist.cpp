// The flash file list reader fed arbitrary list file contents.
#include "file_loader.h"
#include "flashing.h"
#include "fuzz_input.h"
#include "logger.h"
#include "station.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>

namespace {

QTemporaryDir* g_station = nullptr;

void removeStation()
{
    delete g_station;
    g_station = nullptr;
}

// A station folder with a few images the lists can name, kept in memory when /dev/shm exists.
void makeStation()
{
    const QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                             ? QStringLiteral("/dev/shm")
                             : QDir::tempPath();
    g_station = new QTemporaryDir(base + QStringLiteral("/veltora-fuzz-XXXXXX"));
    FUZZ_CHECK(g_station->isValid());
    std::atexit(removeStation);
    QDir root(g_station->path());
    FUZZ_CHECK(root.mkpath(QStringLiteral("Production/sub")));
    FUZZ_CHECK(root.mkpath(QStringLiteral("Keys")));
    // nRF_Update_c.bin is what a "c:system.bin" entry sends.
    const char* images[] = {"Production/system.bin", "Production/nRF_Update_c.bin",
                            "Production/a",          "Production/nrf.hex",
                            "Production/sub/b.bin",  "Production/x y",
                            "Production/ff\xe9.bin", "Keys/key.bin"};
    for (const char* image : images) {
        QFile f(root.filePath(QString::fromLatin1(image)));
        FUZZ_CHECK(f.open(QIODevice::WriteOnly));
        f.write("img");
    }
    setStationDir(g_station->path());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    makeStation();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString listPath = g_station->path() + QStringLiteral("/Production/production_files.cfg");
    {
        QFile list(listPath);
        FUZZ_CHECK(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(list.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }

    Logger_c logger;
    QStringList lines;
    QStringList labels;
    QObject::connect(&logger, &Logger_c::sigLog, [&](const QString& t) { lines << t; });
    QObject::connect(&logger, &Logger_c::sigLabel, [&](const QString& t) { labels << t; });
    Flashing_c worker(0, false, QStringLiteral("/Production/"), false, &logger);

    QStringList downloads = {QStringLiteral("stale")};
    QStringList jlinks = {QStringLiteral("stale")};
    const bool ok = worker.readFileList(QStringLiteral("production_files.cfg"), downloads, jlinks);

    const int newlines = int(std::count(data, data + size, uint8_t('\n')));
    // A line of up to 127 bytes gives at most one entry; a longer one is taken in pieces.
    FUZZ_CHECK(downloads.size() + jlinks.size() <= newlines + 1 + int(size / 126));
    const QString folder = g_station->path() + QStringLiteral("/Production/");
    for (const QStringList* names : {&downloads, &jlinks}) {
        for (const QString& name : *names) {
            FUZZ_CHECK(!name.contains(QLatin1Char(':')));
            FUZZ_CHECK(!name.contains(QChar(0)));
            // Only what the run will read, and what exists in the mode folder, gets onto a list:
            // a download's base name after the substitutions, a J-Link image by its listed name.
            // An empty J-Link name (the folder itself) passes on purpose: the test run reports
            // it on its own.
            const bool download = names == &downloads;
            FUZZ_CHECK(QFileInfo::exists(folder + (download ? downloadLocalName(name) : name)));
        }
    }
    if (ok) {
        FUZZ_CHECK(lines.isEmpty());
        FUZZ_CHECK(labels.isEmpty());
    } else {
        // One red line with the label for the failing entry, the full path before it when the
        // file is missing.
        FUZZ_CHECK(!lines.isEmpty() && lines.size() <= 2);
        for (const QString& line : lines)
            FUZZ_CHECK(line.startsWith(QLatin1Char('1')) && line.size() > 1);
        FUZZ_CHECK(labels.size() == lines.size());
        FUZZ_CHECK(lines.last().mid(1) == labels.last());
    }
    return 0;
}
