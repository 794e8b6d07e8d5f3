// Takes Device IDs from a station's allocator and prints each one on its own line once it has it,
// for the tests that run several processes on one station folder or several stations on a line.
//   id_taker <station dir> <count> <threads> <first id> [<database URL> <station> <block size>]
#include <QCoreApplication>
#include <QMutex>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "device_id_allocator.h"
#include "line_sender.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    DeviceIdAllocator ids(a[1]);
    ids.setFirstId(a[4].toULongLong());
    LineSettings line;
    std::unique_ptr<LineIdBlocks> blocks;
    if (a.size() > 7) {
        parseDatabaseUrl(a[5], line.connection, nullptr);
        line.station = a[6];
        line.blockSize = a[7].toInt();
        blocks = std::make_unique<LineIdBlocks>(line);
        ids.setBlockSource(blocks.get(), quint64(line.blockSize));
    }
    std::atomic<int> left{a[2].toInt()};
    std::atomic<bool> refused{false};
    QMutex out;
    auto take = [&] {
        quint64 id = 0;
        while (left-- > 0 && !refused) {
            if (ids.allocate(id) != DeviceIdAllocator::Result::Ok) {
                refused = true;
                return;
            }
            QMutexLocker locker(&out);
            std::printf("%llu\n", static_cast<unsigned long long>(id));
            std::fflush(stdout);
            locker.unlock();
            // As a station's sender thread would, between its runs.
            (void)ids.topUp();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < a[3].toInt(); ++i)
        threads.emplace_back(take);
    for (std::thread& t : threads)
        t.join();
    return refused ? 1 : 0;
}
