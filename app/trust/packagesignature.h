#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Upgrade packages signed in minisign's format: Ed25519 signatures, legacy ones over the file
// itself and prehashed ones over its BLAKE2b-512 digest, and a trusted comment covered by a
// second, global signature. Checked as `minisign -V` checks them. Parsing is pure; the
// cryptography is libsodium's.
namespace trust {

enum class Verdict {
    Verified,
    NoSignature, // no signature file
    Malformed, // not a minisign signature
    TooLarge, // larger than zev::kMaxSignatureBytes
    UnknownKey, // signed by a key that is not trusted
    BadSignature, // the package is not what was signed
    BadTrustedComment, // the trusted comment is not what was signed
    Unreadable, // the package could not be read
};

// A minisign public key: the base64 line of a .pub file ("Ed", key id, Ed25519 key).
struct PublicKey
{
    QByteArray id; // 8 bytes, as stored
    QByteArray key; // 32 bytes
};

// The four lines of a .minisig file, decoded.
struct Signature
{
    bool prehashed = false; // "ED": signed the BLAKE2b-512 of the file; "Ed": the file
    QByteArray keyId; // 8 bytes
    QByteArray signature; // 64 bytes
    QByteArray trustedComment; // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature and trusted comment
};

struct Result
{
    Verdict verdict = Verdict::NoSignature;
    QString keyId; // the signature's, as minisign prints it; empty when none was read
    QByteArray trustedComment; // set when verified
};

std::optional<PublicKey> parsePublicKey(const QByteArray &base64Line);
// Lines after the fourth are ignored, as minisign does; line ends may be CRLF.
std::optional<Signature> parseSignature(const QByteArray &text);
// Upper-case hex without leading zeros, as minisign prints it ("minisign public key 621E3E...").
QString keyIdText(const QByteArray &id);
const char *verdictText(Verdict verdict);

// The package in memory against the text of its signature file.
Result verify(const QByteArray &package, const QByteArray &signatureText,
    const QList<PublicKey> &trustedKeys);
// The package and its signature as files; the package is read in fixed chunks (prehashed) or
// mapped (legacy), so memory stays flat whatever its size.
Result verifyFile(
    const QString &packagePath, const QString &signaturePath, const QList<PublicKey> &trustedKeys);

} // namespace trust
