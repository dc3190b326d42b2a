// Takes the single-instance token named on the command line, or with "--append <path>" the
// append lock of that file, and keeps it until its input closes or it is killed (never letting go
// of the append lock). Prints "held" or "refused".
#include <platform.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--append") == 0) {
        platform::AppendLock appendLock(argv[2]);
        std::puts(appendLock.lock() ? "held" : "refused");
        std::fflush(stdout);
        while (std::getchar() != EOF) { }
        return 0;
    }
    if (argc != 2)
        return 2;
    if (!platform::acquireSingleInstance(argv[1])) {
        std::puts("refused");
        std::fflush(stdout);
        return 3;
    }
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) { }
    return 0;
}
