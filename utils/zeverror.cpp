#include "zeverror.h"

#include <QString>
#include <QTextCodec>

#include <map>

namespace utils {

namespace {

struct TableEntry
{
    int code;
    const char *text; // UTF-8
};

// One message per code; the network band 1..499 shares one text and is not listed here.
constexpr TableEntry kMessages[] = {
    { 0, "" },
    { 500, "Http重定向错误!" },
    { 501, "获取更新包版本信息失败，请检查网络!" },
    { 502, "下载地址解析失败, 请联系售后:000-0000-000!" },
    { 503, "下载更新包失败，请检查网络!" },
    { 20000, "没有找到adb,请检查Adb路径!" },
    { 20001, "未能读到机器人版本信息，请检查USB线是否连接正常！" },
    { 20002, "USB连接断开，请重试!" },
    { 20003, "初始化安装应用列表失败!" },
    { 20004, "没有检测到actions文件,升级完成" },
    { 20005, "机器人存储空间不足!" },
    { 20006, "存储空间不足导致APK解码失败!" },
    { 20007, "存储空间不足导致apk拷贝失败!" },
    { 20008, "文件拷贝失败!" },
    { 20009, "未检测到机器人!" },
    { 20010, "机器人与电脑的连接断开!" },
    { 20011, "更新不完整！" },
    { 20012, "软件与机器人主服务版本冲突!" },
    { 20013, "文件认证不一致!" },
    { 20014, "目标已经存在!" },
    { 20015, "非法的zip文件!" },
    { 20016, "系统版本低于软件所需版本!" },
    { 20017, "文件未通过认证!" },
    { 20018, "容器错误!" },
    { 20019, "未建立连接!" },
    { 20020, "APP签名错误，请联系售后:000-0000-000!" },
    { 20021, "版本冲突!" },
    { 20022, "拷贝音乐文件或动作文件失败!" },
    { 20023, "主服务安装失败，请重新刷机！" },
    { 20024, "Adb安装协议失败!" },
    { 30000, "升级包解压出错!" },
    { 30001, "升级包下载错误!" },
    { 30002, "MD5校验失败,请重新刷机!" },
    { 30003, "下载更新包失败，可能是网络连接中断，请重试!" },
    { 40000, "未检测到机器人版本,请检查USB连接是否正常!" },
    { 40001, "System version is too low, please call after-sale service:000-0000-000!" },
    { 40002, "机器人版本号错误!" },
    { 40003, "请拔掉其他Adb设备后重试!" },
    { 99999, "未知错误!" },
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
    int code;
};

// Searched in this order; the first key found decides.
constexpr AdbOutputKey kAdbOutputKeys[] = {
    { "INSTALL_FAILED_VERSION_DOWNGRADE", 20019 },
    { "INSTALL_FAILED_INSUFFICIENT_STORAGE", 20005 },
    { "INSTALL_FAILED_DEXOPT", 20006 },
    { "INSTALL_FAILED_DEVICE_NOSPACE", 20007 },
    { "INSTALL_FAILED_DEVICE_COPY_FAILED", 20008 },
    { "INSTALL_DEVICES_NOT_FOUND", 20009 },
    { "INSTALL_FAILED_DEVICE_OFFLINE", 20010 },
    { "INSTALL_FAILED_UPDATE_INCOMPATIBLE", 20011 },
    { "INSTALL_FAILED_CONFLICTING_PROVIDER", 20012 },
    { "INSTALL_PARSE_FAILED_INCONSISTENT_CERTIFICATES", 20013 },
    { "INSTALL_FAILED_ALREADY_EXISTS", 20014 },
    { "INSTALL_FAILED_INVALID_ZIP_FILE", 20015 },
    { "INSTALL_FAILED_OLDER_SDK", 20016 },
    { "INSTALL_FAILED_CONTAINER_ERROR", 20017 },
    { "INSTALL_FAILED_UID_CHANGED", 20021 },
    { "not found", 20009 },
    { "more than one device", 40003 },
    { "INSTALL_FAILED_SHARED_USER_INCOMPATIBLE", 20020 },
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
    if (static_cast<unsigned>(code) - 1u <= 498u)
        return QString::fromUtf8(kNetworkMessage);
    const auto &table = messageTable();
    const auto it = table.find(code);
    return it == table.end() ? QString() : it->second;
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
        return 20024;
    return 99999;
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
