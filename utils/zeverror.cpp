#include "zeverror.h"

#include <QCoreApplication>
#include <QString>
#include <QTextCodec>

#include <map>

namespace utils {

namespace {

struct TableEntry
{
    ErrorCode code;
    const char *text; // UTF-8
};

// One message per code; the network band 1..499 shares one text and is not listed here.
constexpr TableEntry kMessages[] = {
    { kSuccess, "" },
    { kHttpRedirectError, "Http重定向错误!" },
    { kUpgradeInfoBad, "获取更新包版本信息失败，请检查网络!" },
    { kDownloadUrlBad, "下载地址解析失败, 请联系售后:000-0000-000!" },
    { kDownloadHttpError, "下载更新包失败，请检查网络!" },
    { kAdbMissing, "没有找到adb,请检查Adb路径!" },
    { kBuildPropUnreadable, "未能读到机器人版本信息，请检查USB线是否连接正常！" },
    { kUsbDisconnected, "USB连接断开，请重试!" },
    { kInstallListFailed, "初始化安装应用列表失败!" },
    { kNoActionFiles, "没有检测到actions文件,升级完成" },
    { kRobotStorageFull, "机器人存储空间不足!" },
    { kApkDexoptFailed, "存储空间不足导致APK解码失败!" },
    { kApkCopyNoSpace, "存储空间不足导致apk拷贝失败!" },
    { kApkCopyFailed, "文件拷贝失败!" },
    { kRobotNotDetected, "未检测到机器人!" },
    { kRobotDisconnected, "机器人与电脑的连接断开!" },
    { kUpdateIncomplete, "更新不完整！" },
    { kMainServiceConflict, "软件与机器人主服务版本冲突!" },
    { kCertificateMismatch, "文件认证不一致!" },
    { kAlreadyExists, "目标已经存在!" },
    { kInvalidZip, "非法的zip文件!" },
    { kSystemTooOld, "系统版本低于软件所需版本!" },
    { kFileNotVerified, "文件未通过认证!" },
    { kContainerError, "容器错误!" },
    { kNotConnected, "未建立连接!" },
    { kSignatureMismatch, "APP签名错误，请联系售后:000-0000-000!" },
    { kVersionConflict, "版本冲突!" },
    { kActionPushFailed, "拷贝音乐文件或动作文件失败!" },
    { kMainServiceInstallFailed, "主服务安装失败，请重新刷机！" },
    { kAdbInstallProtocol, "Adb安装协议失败!" },
    { kPackageUnpackFailed, "升级包解压出错!" },
    { kPackageBroken, "升级包下载错误!" },
    { kPackageMd5Mismatch, "MD5校验失败,请重新刷机!" },
    { kDownloadInterrupted, "下载更新包失败，可能是网络连接中断，请重试!" },
    // The one message shown in the user's language: the table holds the translation's source.
    { kPackageSignatureBad,
        QT_TRANSLATE_NOOP("utils::ZEVError",
            "The upgrade package's signature could not be verified!") },
    { kRobotNotFound, "未检测到机器人版本,请检查USB连接是否正常!" },
    { kBuildTooOld, "System version is too low, please call after-sale service:000-0000-000!" },
    { kRobotTypeWrong, "机器人版本号错误!" },
    { kOtherAdbDevices, "请拔掉其他Adb设备后重试!" },
    { kUnknownError, "未知错误!" },
};

constexpr char kNetworkMessage[] = "网络故障,请检查网络！";

// Built on first use (thread-safe static initialisation) and never changed afterwards, so
// lookups from any thread need no lock.
const std::map<int, QString> &messageTable()
{
    static const std::map<int, QString> table = [] {
        std::map<int, QString> t;
        for (const TableEntry &entry : kMessages)
            t.emplace(entry.code, QString::fromUtf8(entry.text)); // the first text of a code stays
        return t;
    }();
    return table;
}

struct AdbOutputKey
{
    const char *text;
    ErrorCode code;
};

// Searched in this order; the first key found decides.
constexpr AdbOutputKey kAdbOutputKeys[] = {
    { "INSTALL_FAILED_VERSION_DOWNGRADE", kNotConnected },
    { "INSTALL_FAILED_INSUFFICIENT_STORAGE", kRobotStorageFull },
    { "INSTALL_FAILED_DEXOPT", kApkDexoptFailed },
    { "INSTALL_FAILED_DEVICE_NOSPACE", kApkCopyNoSpace },
    { "INSTALL_FAILED_DEVICE_COPY_FAILED", kApkCopyFailed },
    { "INSTALL_DEVICES_NOT_FOUND", kRobotNotDetected },
    { "INSTALL_FAILED_DEVICE_OFFLINE", kRobotDisconnected },
    { "INSTALL_FAILED_UPDATE_INCOMPATIBLE", kUpdateIncomplete },
    { "INSTALL_FAILED_CONFLICTING_PROVIDER", kMainServiceConflict },
    { "INSTALL_PARSE_FAILED_INCONSISTENT_CERTIFICATES", kCertificateMismatch },
    { "INSTALL_FAILED_ALREADY_EXISTS", kAlreadyExists },
    { "INSTALL_FAILED_INVALID_ZIP_FILE", kInvalidZip },
    { "INSTALL_FAILED_OLDER_SDK", kSystemTooOld },
    { "INSTALL_FAILED_CONTAINER_ERROR", kFileNotVerified },
    { "INSTALL_FAILED_UID_CHANGED", kVersionConflict },
    { "not found", kRobotNotDetected },
    { "more than one device", kOtherAdbDevices },
    { "INSTALL_FAILED_SHARED_USER_INCOMPATIBLE", kSignatureMismatch },
};

} // namespace

ZEVError::ZEVError() = default;

ZEVError::ZEVError(int code)
    : m_code(code)
    , m_message(messageForCode(code))
{
}

ZEVError::ZEVError(int code, const std::string &message)
    : m_code(code)
    , m_message(message)
{
}

void ZEVError::setErrorCode(int code)
{
    m_code = code;
    m_message = messageForCode(code);
}

QString ZEVError::messageTextForCode(int code)
{
    if (isNetworkErrorCode(code))
        return QString::fromUtf8(kNetworkMessage);
    const auto &table = messageTable();
    const auto it = table.find(code);
    if (it == table.end())
        return QString();
    if (code == kPackageSignatureBad)
        return QCoreApplication::translate("utils::ZEVError", it->second.toUtf8().constData());
    return it->second;
}

std::string ZEVError::messageForCode(int code)
{
    return messageTextForCode(code).toLocal8Bit().toStdString();
}

QString ZEVError::decodeMessage(const std::string &message)
{
    QTextCodec *codec = QTextCodec::codecForName("System");
    if (!codec)
        codec = QTextCodec::codecForLocale();
    return codec->toUnicode(message.data(), static_cast<int>(message.size()));
}

int ZEVError::errorCodeFromAdbOutput(const QByteArray &output)
{
    for (const AdbOutputKey &key : kAdbOutputKeys) {
        if (output.contains(key.text))
            return key.code;
    }
    if (output.contains("protocol failure") && output.contains("rm failed"))
        return kAdbInstallProtocol;
    return kUnknownError;
}

void ZEVError::buildMessageTable()
{
    messageTable();
}

ZEVErrorPtr makeError(int code)
{
    return std::make_shared<ZEVError>(code);
}

} // namespace utils
