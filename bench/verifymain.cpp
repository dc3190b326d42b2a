// The unpacker's signature check over one package, for timing beside `minisign -V`: exit 0 and
// "verified" when FILE.minisig (or SIGNATURE) signs FILE with the key of PUBLIC_KEY_LINE.
#include <constants.h>
#include <packagesignature.h>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: bench_verify PUBLIC_KEY_LINE FILE [SIGNATURE]\n");
        return 2;
    }
    const std::optional<trust::PublicKey> key = trust::parsePublicKey(argv[1]);
    if (!key) {
        std::fprintf(stderr, "not a minisign public key: %s\n", argv[1]);
        return 2;
    }
    const QString package = QString::fromLocal8Bit(argv[2]);
    const QString signature
        = argc == 4 ? QString::fromLocal8Bit(argv[3]) : package + zev::kSignatureSuffix;
    const trust::Result result = trust::verifyFile(package, signature, { *key });
    std::printf("%s\n", trust::verdictText(result.verdict));
    return result.verdict == trust::Verdict::Verified ? 0 : 1;
}
