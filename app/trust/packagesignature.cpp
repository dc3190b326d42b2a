#include "packagesignature.h"

#include <constants.h>

#include <QFile>

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace trust {

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr int kAlgorithmBytes = 2;
constexpr int kKeyIdBytes = 8;
constexpr int kSignatureLineBytes = kAlgorithmBytes + kKeyIdBytes + crypto_sign_BYTES;
constexpr int kPublicKeyLineBytes = kAlgorithmBytes + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES;
constexpr int kDigestBytes = crypto_generichash_BYTES_MAX; // BLAKE2b-512
constexpr qint64 kHashWindow = 1024 * 1024;

// sodium_init picks the fastest implementations for this processor; it is safe to call from any
// thread and cheap after the first call.
bool sodiumReady()
{
    return sodium_init() >= 0;
}

// Strict base64 of exactly `size` bytes.
std::optional<QByteArray> decode(const QByteArray &text, int size)
{
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// What a check needs of the signed package: its BLAKE2b-512 (prehashed signatures) or all of its
// bytes at once (legacy signatures). Both give nothing when the package cannot be read.
class PackageInMemory
{
public:
    explicit PackageInMemory(const QByteArray &data)
        : m_data(data)
    {
    }

    std::optional<QByteArray> digest() const
    {
        QByteArray digest(kDigestBytes, Qt::Uninitialized);
        crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), kDigestBytes,
            bytes(m_data), static_cast<unsigned long long>(m_data.size()), nullptr, 0);
        return digest;
    }

    template <typename Check> std::optional<bool> whole(Check check) const
    {
        return check(bytes(m_data), static_cast<unsigned long long>(m_data.size()));
    }

private:
    const QByteArray &m_data;
};

class PackageFile
{
public:
    explicit PackageFile(const QString &path)
        : m_path(path)
    {
    }

    // Read, not mapped: a file that another program shortens while it is hashed must end in a
    // refusal, not in SIGBUS. One buffer, reused, keeps memory flat whatever the package's size.
    std::optional<QByteArray> digest() const
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return std::nullopt;
        crypto_generichash_state state;
        crypto_generichash_init(&state, nullptr, 0, kDigestBytes);
        std::vector<unsigned char> chunk(static_cast<size_t>(kHashWindow));
        for (;;) {
            const qint64 got = file.read(reinterpret_cast<char *>(chunk.data()), kHashWindow);
            if (got < 0)
                return std::nullopt;
            if (got == 0)
                break;
            crypto_generichash_update(&state, chunk.data(), static_cast<unsigned long long>(got));
        }
        QByteArray digest(kDigestBytes, Qt::Uninitialized);
        crypto_generichash_final(
            &state, reinterpret_cast<unsigned char *>(digest.data()), kDigestBytes);
        return digest;
    }

    // A legacy signature covers the whole file at once, so the whole file is read.
    template <typename Check> std::optional<bool> whole(Check check) const
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QByteArray all = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return std::nullopt;
        return check(bytes(all), static_cast<unsigned long long>(all.size()));
    }

private:
    QString m_path;
};

// The order of minisign's own checks: the package first, then the trusted comment.
template <typename Package>
Result check(
    const QByteArray &signatureText, const QList<PublicKey> &trustedKeys, const Package &package)
{
    Result result;
    if (signatureText.size() > zev::kMaxSignatureBytes) {
        result.verdict = Verdict::TooLarge;
        return result;
    }
    const std::optional<Signature> signature = parseSignature(signatureText);
    if (!signature) {
        result.verdict = Verdict::Malformed;
        return result;
    }
    result.keyId = keyIdText(signature->keyId);
    const auto key = std::find_if(trustedKeys.cbegin(), trustedKeys.cend(),
        [&](const PublicKey &candidate) { return candidate.id == signature->keyId; });
    if (key == trustedKeys.cend()) {
        result.verdict = Verdict::UnknownKey;
        return result;
    }
    if (!sodiumReady()) {
        result.verdict = Verdict::Unreadable;
        return result;
    }

    const auto signedBy = [&](const QByteArray &signatureBytes, const unsigned char *message,
                              unsigned long long size) {
        return crypto_sign_verify_detached(bytes(signatureBytes), message, size, bytes(key->key))
            == 0;
    };
    std::optional<bool> packageSigned;
    if (signature->prehashed) {
        if (const std::optional<QByteArray> digest = package.digest())
            packageSigned = signedBy(signature->signature, bytes(*digest), kDigestBytes);
    } else {
        packageSigned = package.whole([&](const unsigned char *data, unsigned long long size) {
            return signedBy(signature->signature, data, size);
        });
    }
    if (!packageSigned) {
        result.verdict = Verdict::Unreadable;
        return result;
    }
    if (!*packageSigned) {
        result.verdict = Verdict::BadSignature;
        return result;
    }
    const QByteArray global = signature->signature + signature->trustedComment;
    if (!signedBy(signature->globalSignature, bytes(global),
            static_cast<unsigned long long>(global.size()))) {
        result.verdict = Verdict::BadTrustedComment;
        return result;
    }
    result.verdict = Verdict::Verified;
    result.trustedComment = signature->trustedComment;
    return result;
}

} // namespace

std::optional<PublicKey> parsePublicKey(const QByteArray &base64Line)
{
    const std::optional<QByteArray> data = decode(base64Line.trimmed(), kPublicKeyLineBytes);
    if (!data || !data->startsWith("Ed"))
        return std::nullopt;
    return PublicKey { data->mid(kAlgorithmBytes, kKeyIdBytes),
        data->mid(kAlgorithmBytes + kKeyIdBytes) };
}

std::optional<Signature> parseSignature(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4)
        return std::nullopt;
    for (int i = 0; i < 4; ++i) {
        if (lines[i].endsWith('\r'))
            lines[i].chop(1);
    }
    if (!lines[0].startsWith(kUntrustedPrefix) || !lines[2].startsWith(kTrustedPrefix))
        return std::nullopt;
    const std::optional<QByteArray> signatureLine = decode(lines[1], kSignatureLineBytes);
    const std::optional<QByteArray> global = decode(lines[3], crypto_sign_BYTES);
    if (!signatureLine || !global)
        return std::nullopt;
    const QByteArray algorithm = signatureLine->left(kAlgorithmBytes);
    if (algorithm != "Ed" && algorithm != "ED")
        return std::nullopt;
    Signature signature;
    signature.prehashed = algorithm == "ED";
    signature.keyId = signatureLine->mid(kAlgorithmBytes, kKeyIdBytes);
    signature.signature = signatureLine->mid(kAlgorithmBytes + kKeyIdBytes);
    signature.trustedComment = lines[2].mid(static_cast<int>(sizeof(kTrustedPrefix) - 1));
    signature.globalSignature = *global;
    return signature;
}

QString keyIdText(const QByteArray &id)
{
    // The id is a little-endian number, which minisign prints in hex without leading zeros.
    QByteArray reversed(id);
    std::reverse(reversed.begin(), reversed.end());
    const QByteArray digits = reversed.toHex().toUpper();
    const int first = static_cast<int>(
        std::find_if(digits.cbegin(), digits.cend() - 1, [](char digit) { return digit != '0'; })
        - digits.cbegin());
    return QString::fromLatin1(digits.mid(first));
}

const char *verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Verified:
        return "verified";
    case Verdict::NoSignature:
        return "no signature";
    case Verdict::Malformed:
        return "malformed signature";
    case Verdict::TooLarge:
        return "signature file too large";
    case Verdict::UnknownKey:
        return "signed by a key that is not trusted";
    case Verdict::BadSignature:
        return "the package does not match its signature";
    case Verdict::BadTrustedComment:
        return "the trusted comment does not match its signature";
    case Verdict::Unreadable:
        return "the package could not be read";
    }
    return "unknown";
}

Result verify(
    const QByteArray &package, const QByteArray &signatureText, const QList<PublicKey> &trustedKeys)
{
    return check(signatureText, trustedKeys, PackageInMemory(package));
}

Result verifyFile(
    const QString &packagePath, const QString &signaturePath, const QList<PublicKey> &trustedKeys)
{
    QFile signatureFile(signaturePath);
    if (!signatureFile.open(QIODevice::ReadOnly))
        return Result {};
    // One byte more than allowed tells an oversized file from one at the limit without reading
    // all of it.
    const QByteArray text = signatureFile.read(zev::kMaxSignatureBytes + 1);
    return check(text, trustedKeys, PackageFile(packagePath));
}

} // namespace trust
