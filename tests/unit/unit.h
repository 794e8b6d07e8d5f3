#pragma once
// The unit tier: the tool's pure logic, in one program that needs no pseudo-terminal, no device
// and no server, and builds on every platform. Each file holds one test class and registers it.
#include <QObject>
#include <functional>
#include <memory>

namespace unit {

using Maker = std::function<std::unique_ptr<QObject>()>;
bool add(const Maker& make);

} // namespace unit

#define UNIT_TEST(Class)                                                                           \
    static const bool registered##Class = unit::add([] { return std::make_unique<Class>(); });
