// Takes the single-instance token named on the command line and keeps it until its input closes
// or it is killed. Prints "held" or "refused".
#include <platform.h>

#include <cstdio>

int main(int argc, char *argv[])
{
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
