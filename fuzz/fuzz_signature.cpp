// A minisign public key line, a line break, then a signature file, checked against one fixed
// package. Besides crashes it stops on broken invariants: parsed keys and signatures have their
// sizes, oversized text is refused unread, key ids have no leading zero, and a signature
// that verifies stops verifying when one byte of the package changes.
#include <constants.h>
#include <packagesignature.h>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArray package("the fuzzed package\n");
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const int lineEnd = input.indexOf('\n');
    const QByteArray keyLine = lineEnd < 0 ? input : input.left(lineEnd);
    const QByteArray signatureText = lineEnd < 0 ? QByteArray() : input.mid(lineEnd + 1);

    QList<trust::PublicKey> keys;
    if (const std::optional<trust::PublicKey> key = trust::parsePublicKey(keyLine)) {
        require(key->id.size() == 8 && key->key.size() == 32);
        keys << *key;
    }
    const std::optional<trust::Signature> parsed = trust::parseSignature(signatureText);
    if (parsed) {
        require(parsed->keyId.size() == 8 && parsed->signature.size() == 64
            && parsed->globalSignature.size() == 64 && !parsed->trustedComment.contains('\n'));
    }

    const trust::Result result = trust::verify(package, signatureText, keys);
    if (signatureText.size() > zev::kMaxSignatureBytes)
        require(result.verdict == trust::Verdict::TooLarge);
    require(result.keyId.size() <= 16 && !result.keyId.startsWith(QLatin1Char('0')));
    if (result.verdict == trust::Verdict::Verified) {
        require(parsed && result.trustedComment == parsed->trustedComment);
        QByteArray changed = package;
        changed[3] = 'X';
        require(
            trust::verify(changed, signatureText, keys).verdict == trust::Verdict::BadSignature);
    }
    return 0;
}
