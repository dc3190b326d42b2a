// Arbitrary bytes as "config/config.json". Besides crashes it stops on broken invariants: input
// that is not a JSON object gives every default, and the web service addresses always end in
// their fixed paths, whatever base address the file names.
#include "appconfig.h"
#include "constants.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameConfig(const AppConfig &a, const AppConfig &b)
{
    return a.manifestName == b.manifestName && a.buildVersionKey == b.buildVersionKey
        && a.kernelVersionKey == b.kernelVersionKey && a.findInstallApkUrl == b.findInstallApkUrl
        && a.addInstallStatUrl == b.addInstallStatUrl
        && a.mainServicePackage == b.mainServicePackage
        && a.mainServiceActivity == b.mainServiceActivity
        && a.systemVersionLowLimit == b.systemVersionLowLimit
        && a.kernelVersionLowLimit == b.kernelVersionLowLimit && a.region == b.region
        && a.trustedKeys == b.trustedKeys && a.caFile == b.caFile;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const AppConfig defaults = parseAppConfig(QByteArray());
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const AppConfig config = parseAppConfig(input);

    if (!QJsonDocument::fromJson(input).isObject())
        require(sameConfig(config, defaults));
    require(config.findInstallApkUrl.endsWith(zev::kFindInstallApkPath));
    require(config.addInstallStatUrl.endsWith(zev::kAddInstallStatPath));
    require(config.findInstallApkUrl.chopped(zev::kFindInstallApkPath.size())
        == config.addInstallStatUrl.chopped(zev::kAddInstallStatPath.size()));
    return 0;
}
