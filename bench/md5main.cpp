// The utilities' MD5 check over one file, for timing beside md5sum: prints "DIGEST  FILE".
#include <fileutils.h>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_md5 FILE\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QString digest = FileUtils::fileMd5(path);
    if (digest.isEmpty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::printf("%s  %s\n", qPrintable(digest), argv[1]);
    return 0;
}
