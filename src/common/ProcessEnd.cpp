#include "common/ProcessEnd.h"

#include <cstdio>
#include <cstdlib>

// Present only in a build with the leak checker (AddressSanitizer).
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace tovrik {

void endProcess(int status)
{
    std::fflush(nullptr);
    if (__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0 && status == 0)
        status = 23; // the leak checker's own exit code
    std::_Exit(status);
}

} // namespace tovrik
