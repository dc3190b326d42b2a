#include "webformats.h"

#include <constants.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>

namespace webformats {

namespace {

QJsonObject robotFields(const RobotTarvo2 &robot, int robotType)
{
    QJsonObject object;
    object.insert(QStringLiteral("serialNumber"), robot.serialNumber);
    object.insert(QStringLiteral("robotType"), robotType);
    object.insert(QStringLiteral("region"), robot.region);
    object.insert(QStringLiteral("buildVersion"), robot.buildVersion);
    object.insert(QStringLiteral("kernelVersion"), robot.kernelVersion);
    object.insert(QStringLiteral("ipAddress"), robot.ipAddress);
    return object;
}

// An optional text field: absent or null reads as empty.
bool readText(const QJsonObject &object, const QString &key, QString &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        out.clear();
        return true;
    }
    if (!value.isString())
        return false;
    out = value.toString().trimmed();
    return true;
}

bool isHex(const QString &text, int length)
{
    static const QRegularExpression hex(QStringLiteral("\\A[0-9a-fA-F]*\\z"));
    return text.size() == length && hex.match(text).hasMatch();
}

bool readDigest(const QJsonObject &object, const QString &key, int length, QString &out)
{
    if (!readText(object, key, out))
        return false;
    if (out.isEmpty())
        return true;
    if (!isHex(out, length))
        return false;
    out = out.toLower();
    return true;
}

} // namespace

QByteArray upgradeInfoRequest(const RobotTarvo2 &robot, int robotType)
{
    QJsonObject object = robotFields(robot, robotType);
    object.insert(QStringLiteral("batteryRatio"), robot.batteryRatio);
    object.insert(QStringLiteral("acPowered"), robot.acPowered);
    object.insert(QStringLiteral("toolVersion"), zev::kToolVersion);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray reportRequest(const RobotTarvo2 &robot, int robotType, int code, const QString &message,
    const QDateTime &time)
{
    QJsonObject object = robotFields(robot, robotType);
    object.insert(QStringLiteral("code"), code);
    object.insert(QStringLiteral("message"), message);
    object.insert(QStringLiteral("toolVersion"), zev::kToolVersion);
    object.insert(QStringLiteral("time"), time.toString(Qt::ISODate));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool parseUpgradeAnswer(const QByteArray &body, UpgRespData &answer)
{
    if (body.size() > kMaxAnswerBytes)
        return false;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();

    UpgRespData parsed;
    const QJsonValue valid = object.value(QStringLiteral("valid"));
    if (!valid.isBool())
        return false;
    parsed.valid = valid.toBool();
    if (!readText(object, QStringLiteral("downloadUrl"), parsed.downloadUrl)
        || !readDigest(object, QStringLiteral("md5"), 32, parsed.packageMd5)
        || !readDigest(object, QStringLiteral("sha256"), 64, parsed.sha256)
        || !readText(object, QStringLiteral("version"), parsed.version))
        return false;

    const QJsonValue size = object.value(QStringLiteral("size"));
    if (!size.isUndefined() && !size.isNull()) {
        // Whole numbers that a double holds exactly.
        const double bytes = size.isDouble() ? size.toDouble() : -1;
        if (!(bytes >= 0 && bytes <= 9007199254740992.0) || std::floor(bytes) != bytes)
            return false;
        parsed.size = static_cast<qint64>(bytes);
    }
    answer = parsed;
    return true;
}

QString downloadFileName(const QString &url)
{
    const QUrl parsed(url.trimmed(), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.isRelative() || parsed.host().isEmpty())
        return {};
    const QString scheme = parsed.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return {};
    const QString name = parsed.fileName(QUrl::FullyDecoded);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    // Decoded, the segment could still name another folder or a device.
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c.unicode() < 0x20 || c == QChar(0x7f))
            return {};
    }
    // Names Windows reserves for devices, with or without an extension, and names it would trim.
    static const QRegularExpression reserved(
        QStringLiteral("\\A(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?\\z"),
        QRegularExpression::CaseInsensitiveOption);
    if (reserved.match(name).hasMatch() || name.endsWith(QLatin1Char('.'))
        || name.endsWith(QLatin1Char(' ')))
        return {};
    return name;
}

bool parseContentRange(const QByteArray &value, qint64 &first, qint64 &last, qint64 &total)
{
    static const QRegularExpression form(
        QStringLiteral("\\A\\s*bytes\\s+(\\d{1,18})-(\\d{1,18})/(\\d{1,18}|\\*)\\s*\\z"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(value));
    if (!match.hasMatch())
        return false;
    first = match.captured(1).toLongLong();
    last = match.captured(2).toLongLong();
    total = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong();
    if (last < first || (total >= 0 && last >= total))
        return false;
    return true;
}

} // namespace webformats
