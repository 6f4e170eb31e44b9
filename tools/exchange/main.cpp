// tovrik-exchange A B: swaps the two folders (or files) A and B in one step,
// so that at every moment each name holds one complete entry. The swap
// script installs and rolls back bundles with it.
//   0  swapped
//   2  wrong arguments
//   3  the file system cannot swap in one step (the caller may fall back)
//   1  any other failure (message on standard error)

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    int first = 1;
    if (argc == 4 && std::strcmp(argv[1], "--") == 0)
        first = 2;
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: tovrik-exchange [--] A B\n");
        return 2;
    }
    if (::renameat2(AT_FDCWD, argv[first], AT_FDCWD, argv[first + 1], RENAME_EXCHANGE) == 0)
        return 0;
    const int error = errno;
    std::fprintf(stderr, "tovrik-exchange: %s <-> %s: %s\n", argv[first], argv[first + 1], std::strerror(error));
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ? 3 : 1;
}
