#include "appconfig.h"

#include "constants.h"
#include "fileutils.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocale>
#include <QSettings>

namespace {

// The web service's base URL when the configuration names none.
const QString kDefaultRequestUrl = QStringLiteral("http://127.0.0.1:8080");

AppConfig defaultConfig()
{
    AppConfig config;
    config.manifestName = zev::kDefaultManifest;
    config.buildVersionKey = zev::kBuildVersionKey;
    config.kernelVersionKey = zev::kKernelVersionKey;
    config.findInstallApkUrl = kDefaultRequestUrl + zev::kFindInstallApkPath;
    config.addInstallStatUrl = kDefaultRequestUrl + zev::kAddInstallStatPath;
    config.mainServicePackage = QStringLiteral("com.norvikinc.tarvo2services");
    config.mainServiceActivity = QStringLiteral("com.norvikinc.tarvo2services.MainActivity");
    config.systemVersionLowLimit = QStringLiteral("2016-07-21 19:59:46");
    config.kernelVersionLowLimit = QStringLiteral("2016-07-20 18:31:33");
    config.region = QStringLiteral("cn");
    return config;
}

// Replaces `field` with the value of `valueKey` when `presenceKey` is present and the value is
// text.
void readText(
    const QJsonObject &object, const QString &presenceKey, const QString &valueKey, QString &field)
{
    if (!object.contains(presenceKey))
        return;
    const QJsonValue value = object.value(valueKey);
    if (value.isString())
        field = value.toString();
}

void readText(const QJsonObject &object, const QString &key, QString &field)
{
    readText(object, key, key, field);
}

// The file's top-level object; empty when it is malformed or no object.
QJsonObject configObject(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

} // namespace

AppConfig readAppConfig()
{
    const QString path = FileUtils::readablePath(zev::kConfigFolder, zev::kConfigFile);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return defaultConfig();
    return parseAppConfig(file.readAll(), FileUtils::parentFolder(path));
}

bool readDebugLogSwitch()
{
    QFile file(FileUtils::readablePath(zev::kConfigFolder, zev::kConfigFile));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return configObject(file.readAll()).value(QStringLiteral("debugLog")).toBool(false);
}

AppConfig parseAppConfig(const QByteArray &json, const QString &configFolder)
{
    AppConfig config = defaultConfig();
    const QJsonObject object = configObject(json);

    readText(object, QStringLiteral("appconfig"), config.manifestName);
    readText(object, QStringLiteral("build_version_name"), config.buildVersionKey);
    readText(object, QStringLiteral("kernel_version_name"), config.kernelVersionKey);
    QString requestUrl;
    readText(object, QStringLiteral("default_request_url"), requestUrl);
    if (object.value(QStringLiteral("default_request_url")).isString()) {
        config.findInstallApkUrl = requestUrl + zev::kFindInstallApkPath;
        config.addInstallStatUrl = requestUrl + zev::kAddInstallStatPath;
    }
    readText(object, QStringLiteral("main_service_name"), QStringLiteral("main_services_name"),
        config.mainServicePackage);
    readText(object, QStringLiteral("mian_service_name_activity"),
        QStringLiteral("mian_services_name_activity"), config.mainServiceActivity);
    readText(object, QStringLiteral("system_version_low_limit"), config.systemVersionLowLimit);
    readText(object, QStringLiteral("kernal_version_low_limit"), config.kernelVersionLowLimit);
    readText(object, QStringLiteral("systemLanguage"), config.region);
    for (const QJsonValue &key : object.value(QStringLiteral("trusted_keys")).toArray())
        config.trustedKeys << key.toString();
    QString caFile;
    readText(object, QStringLiteral("ca_file"), caFile);
    if (!caFile.isEmpty())
        config.caFile = QDir::cleanPath(QDir(configFolder).absoluteFilePath(caFile));
    return config;
}

QString systemLanguage()
{
    const QSettings settings(FileUtils::readablePath(zev::kSettingsFolder, zev::kSettingsFile),
        QSettings::IniFormat);
    QString language
        = settings.value(zev::kLanguageGroup + QLatin1Char('/') + zev::kLanguageKey).toString();
    if (language.isEmpty())
        language = QLocale::system().name();
    if (language.compare(zev::kLanguageZhCN, Qt::CaseInsensitive) == 0)
        return language;
    return zev::kLanguageEn;
}
