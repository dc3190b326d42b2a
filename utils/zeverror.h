#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>

#include <memory>
#include <string>

namespace utils {

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
ZEVErrorPtr makeError(int code = 0);

} // namespace utils

Q_DECLARE_METATYPE(utils::ZEVErrorPtr)
