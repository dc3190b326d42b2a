#pragma once

#include <QString>

// Text constants shared by the deliverables.
namespace zev {

inline const QString kLogFolder = QStringLiteral("Log");
inline const QString kSettingsFolder = QStringLiteral("Config");
inline const QString kConfigFolder = QStringLiteral("config");
inline const QString kConfigFile = QStringLiteral("config.json");
inline const QString kSettingsFile = QStringLiteral("settings.ini");
inline const QString kLanguageGroup = QStringLiteral("LanguageSettingWidget");
inline const QString kLanguageKey = QStringLiteral("language");
inline const QString kLanguagesFolder = QStringLiteral("languages");
inline const QString kDownloadFolder = QStringLiteral("download");
inline const QString kFolder2M = QStringLiteral("2M");
inline const QString kFolder5M = QStringLiteral("5M");
inline const QString kFindInstallApkPath = QStringLiteral("/zev/version/findPcInstallApk");
inline const QString kAddInstallStatPath = QStringLiteral("/zev/version/addPcInstallStat");
inline const QString kDefaultManifest = QStringLiteral("app.xml");
inline const QString kBuildVersionKey = QStringLiteral("ro.build.version.incremental=");
inline const QString kKernelVersionKey = QStringLiteral("ro.build.date.utc=");
inline const QString kLanguageZhCN = QStringLiteral("zh_CN");
inline const QString kLanguageEn = QStringLiteral("en");
inline const QString kToolVersion = QStringLiteral("1.0.0.5");
// A package's signature is the package's file name (and download URL) followed by this.
inline const QString kSignatureSuffix = QStringLiteral(".minisig");
// Signature files larger than this are refused unread. minisign writes trusted comments of up to
// 4077 bytes, and `minisign -V` takes files of up to 9404 bytes (both comments at the longest it
// reads); this leaves room for CRLF line ends and trailing lines.
constexpr qint64 kMaxSignatureBytes = 12 * 1024;

} // namespace zev
