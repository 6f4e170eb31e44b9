#pragma once

// A QCoreApplication for the benchmarks that need an event loop but no
// screen; an application another benchmark made first is used as it is.

#include <QCoreApplication>

namespace tovrik::bench {

inline void ensureCoreApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tovrik_bench";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

} // namespace tovrik::bench
