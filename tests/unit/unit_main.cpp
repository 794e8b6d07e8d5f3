#include "unit.h"

#include <QCoreApplication>
#include <QtTest>
#include <vector>

namespace unit {

static std::vector<Maker>& makers()
{
    static std::vector<Maker> all;
    return all;
}

bool add(const Maker& make)
{
    makers().push_back(make);
    return true;
}

} // namespace unit

// Every class in turn, each with the command line's options; fails when one class failed.
int main(int argc, char** argv)
{
    // Far from UTC, so a local time where UTC belongs shows as the wrong hour.
    qputenv("TZ", "Pacific/Kiritimati");
    QCoreApplication app(argc, argv);
    int failed = 0;
    for (const unit::Maker& make : unit::makers()) {
        const std::unique_ptr<QObject> test = make();
        failed |= QTest::qExec(test.get(), argc, argv);
    }
    return failed;
}
