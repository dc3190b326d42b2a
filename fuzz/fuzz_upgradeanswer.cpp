// The web service's answers as the download component reads them: the newest-package JSON,
// the Content-Range header and the file name taken from a download URL.
// Besides crashes it stops on broken invariants: an accepted answer is normalised (lower-case
// digests of the right length, a size of -1 or more) and reads back the same after being
// written out again; a file name never names another folder.
#include "webformats.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool isLowerHex(const QString &text)
{
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

void checkAnswer(const QByteArray &body)
{
    UpgRespData answer;
    if (!webformats::parseUpgradeAnswer(body, answer))
        return;
    require(answer.packageMd5.isEmpty()
        || (answer.packageMd5.size() == 32 && isLowerHex(answer.packageMd5)));
    require(answer.sha256.isEmpty() || (answer.sha256.size() == 64 && isLowerHex(answer.sha256)));
    require(answer.size >= -1);

    // Unpaired surrogates do not survive UTF-8; such texts cannot round-trip by design.
    for (const QString &text : { answer.downloadUrl, answer.version }) {
        if (QString::fromUtf8(text.toUtf8()) != text)
            return;
    }
    QJsonObject object { { QStringLiteral("valid"), answer.valid },
        { QStringLiteral("downloadUrl"), answer.downloadUrl },
        { QStringLiteral("md5"), answer.packageMd5 }, { QStringLiteral("sha256"), answer.sha256 },
        { QStringLiteral("version"), answer.version } };
    if (answer.size >= 0)
        object.insert(QStringLiteral("size"), double(answer.size));
    UpgRespData again;
    require(webformats::parseUpgradeAnswer(QJsonDocument(object).toJson(), again));
    require(again.valid == answer.valid && again.downloadUrl == answer.downloadUrl
        && again.packageMd5 == answer.packageMd5 && again.sha256 == answer.sha256
        && again.size == answer.size && again.version == answer.version);
}

void checkContentRange(const QByteArray &value)
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = 0;
    if (!webformats::parseContentRange(value, first, last, total))
        return;
    require(first >= 0 && last >= first && (total == -1 || total > last));
}

void checkFileName(const QByteArray &url)
{
    const QString name = webformats::downloadFileName(QString::fromUtf8(url));
    if (name.isEmpty())
        return;
    require(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    require(name != QLatin1String(".") && name != QLatin1String(".."));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    checkAnswer(input);
    checkContentRange(input);
    checkFileName(input);
    return 0;
}
