#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>

#include <memory>
#include <string>

namespace utils {

// Every code a run can end with, each named once. Codes 1..499 are network failures
// (QNetworkReply::NetworkError values) and share one message.
enum ErrorCode : int {
    kSuccess = 0,
    kHttpRedirectError = 500,
    kUpgradeInfoBad = 501,
    kDownloadUrlBad = 502,
    kDownloadHttpError = 503,
    kAdbMissing = 20000,
    kBuildPropUnreadable = 20001,
    kUsbDisconnected = 20002,
    kInstallListFailed = 20003,
    kNoActionFiles = 20004,
    kRobotStorageFull = 20005,
    kApkDexoptFailed = 20006,
    kApkCopyNoSpace = 20007,
    kApkCopyFailed = 20008,
    kRobotNotDetected = 20009,
    kRobotDisconnected = 20010,
    kUpdateIncomplete = 20011,
    kMainServiceConflict = 20012,
    kCertificateMismatch = 20013,
    kAlreadyExists = 20014,
    kInvalidZip = 20015,
    kSystemTooOld = 20016,
    kFileNotVerified = 20017,
    kContainerError = 20018,
    kNotConnected = 20019,
    kSignatureMismatch = 20020,
    kVersionConflict = 20021,
    kActionPushFailed = 20022,
    kMainServiceInstallFailed = 20023,
    kAdbInstallProtocol = 20024,
    kPackageUnpackFailed = 30000,
    kPackageBroken = 30001,
    kPackageMd5Mismatch = 30002,
    kDownloadInterrupted = 30003,
    kPackageSignatureBad = 30004,
    kRobotNotFound = 40000,
    kBuildTooOld = 40001,
    kRobotTypeWrong = 40002,
    kOtherAdbDevices = 40003,
    kUnknownError = 99999,
};

// The network band: a QNetworkReply::NetworkError value, below the first web service code.
constexpr bool isNetworkErrorCode(int code)
{
    return code > kSuccess && code < kHttpRedirectError;
}

// One failure, as a code (0 = success) and the fixed message of that code.
// The message is the table text in the local 8-bit encoding, so decoding it with the
// system codec shows exactly the table text.
class ZEVError : public QObject
{
    Q_OBJECT
public:
    ZEVError();
    explicit ZEVError(int code);
    ZEVError(int code, const std::string &message);

    void setErrorCode(int code);
    int errorCode() const { return m_code; }
    std::string errorMessage() const { return m_message; }
    void setErrorMessage(const std::string &message) { m_message = message; }

    static std::string messageForCode(int code);
    // The table text of a code as Unicode (empty when the code has none).
    static QString messageTextForCode(int code);
    // Decodes a message for display with the system 8-bit codec. Qt builds with ICU (Debian)
    // have no codec named "System"; the locale codec is the same code page there.
    static QString decodeMessage(const std::string &message);
    // Classifies the whole text printed by a failed adb run.
    static int errorCodeFromAdbOutput(const QByteArray &output);
    // Fills the process-wide table once; later calls change nothing.
    static void buildMessageTable();

private:
    int m_code = 0;
    std::string m_message;
};

using ZEVErrorPtr = std::shared_ptr<ZEVError>;

// Makes a fresh error object with the code set.
ZEVErrorPtr makeError(int code = kSuccess);

} // namespace utils

Q_DECLARE_METATYPE(utils::ZEVErrorPtr)
