#include "adbparsers.h"

#include <zeverror.h>

#include <QRegularExpression>

#include <cmath>

namespace adbparse {

namespace {

// Everything up to and including the last match of `pattern` goes; "." spans line breaks.
QString cutThroughLast(const QString &text, const QString &pattern, bool caseInsensitive)
{
    QRegularExpression::PatternOptions options = QRegularExpression::DotMatchesEverythingOption;
    if (caseInsensitive)
        options |= QRegularExpression::CaseInsensitiveOption;
    QString result = text;
    result.remove(QRegularExpression(QStringLiteral(".*") + pattern, options));
    return result;
}

QString firstLine(const QString &text)
{
    const int lineFeed = text.indexOf(QLatin1Char('\n'));
    return lineFeed < 0 ? text : text.left(lineFeed);
}

QString digitsOnly(const QString &text)
{
    QString digits;
    for (const QChar c : text) {
        if (c.isDigit())
            digits.append(c);
    }
    return digits;
}

QString valueAfterKey(const QString &out, const QString &key)
{
    return digitsOnly(firstLine(cutThroughLast(out, key, true)));
}

} // namespace

QString removeCrLf(const QString &text)
{
    QString result = text;
    result.remove(QStringLiteral("\r\n"));
    return result;
}

std::optional<BuildInfo> readBuildProp(
    const QString &out, const QString &buildKey, const QString &kernelKey)
{
    if (out.isEmpty() || !out.contains(buildKey) || !out.contains(kernelKey))
        return std::nullopt;
    BuildInfo info;
    info.buildVersion = valueAfterKey(out, buildKey);
    const qint64 kernel = valueAfterKey(out, kernelKey).toLongLong();
    info.kernelVersion = static_cast<qint32>(static_cast<quint32>(kernel & 0xffffffffLL));
    return info;
}

bool isUsableBuildInfo(const BuildInfo &info)
{
    return !info.buildVersion.isEmpty() && info.kernelVersion > 0;
}

std::optional<QString> arpInterface(const QString &arp)
{
    if (arp.size() < 5)
        return std::nullopt;
    const int lastBlank = arp.lastIndexOf(QLatin1Char(' '));
    QString name = lastBlank < 0 ? arp : arp.mid(lastBlank);
    name.remove(QLatin1Char('\n'));
    return name;
}

std::optional<QString> ifconfigAddress(const QString &ifconfig)
{
    static const QString marker = QStringLiteral("inet addr:");
    if (!ifconfig.contains(marker))
        return std::nullopt;
    QString address = cutThroughLast(ifconfig, marker, false);
    const int blank = address.indexOf(QRegularExpression(QStringLiteral("\\s")));
    if (blank >= 0)
        address.truncate(blank);
    if (address.isEmpty())
        return std::nullopt;
    return address;
}

BatteryInfo readBattery(const QString &dumpsys)
{
    BatteryInfo info;
    const QString ac = firstLine(cutThroughLast(dumpsys, QStringLiteral("AC powered:"), true));
    info.acPowered = ac.trimmed().compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
    info.level
        = firstLine(cutThroughLast(dumpsys, QStringLiteral("level:"), true)).trimmed().toInt();
    info.scale
        = firstLine(cutThroughLast(dumpsys, QStringLiteral("scale:"), true)).trimmed().toInt();
    return info;
}

std::optional<qint64> dataPartitionFreeBytes(const QString &df)
{
    const QString line = firstLine(cutThroughLast(df, QStringLiteral("data"), true));
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() <= 3)
        return std::nullopt;
    QString free = parts.at(2);

    struct Unit
    {
        QChar letter;
        double factor;
    };
    static const Unit units[] = { { QLatin1Char('G'), 1024.0 * 1024.0 * 1024.0 },
        { QLatin1Char('M'), 1024.0 * 1024.0 }, { QLatin1Char('K'), 1024.0 } };
    for (const Unit &unit : units) {
        if (free.contains(unit.letter)) {
            free.truncate(free.indexOf(unit.letter, 0, Qt::CaseInsensitive));
            const double bytes = free.toDouble() * unit.factor;
            // No partition is that large: the listing is damaged, and the cast would be undefined.
            if (!std::isfinite(bytes) || std::fabs(bytes) >= 0x1p62)
                return std::nullopt;
            return static_cast<qint64>(bytes);
        }
    }
    if (free.contains(QLatin1Char('B')))
        free.truncate(free.indexOf(QLatin1Char('B'), 0, Qt::CaseInsensitive));
    return static_cast<qint64>(free.toInt());
}

QStringList removablePackages(const QString &list)
{
    QStringList packages;
    const QStringList lines = list.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("android"), Qt::CaseInsensitive)
            || line.contains(QLatin1String("norvik"), Qt::CaseInsensitive))
            continue;
        const QString name = line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).trimmed();
        if (!name.isEmpty())
            packages.append(name);
    }
    return packages;
}

QString installFailureReason(const QString &out)
{
    const int open = out.indexOf(QLatin1Char('['));
    const int close = out.indexOf(QLatin1Char(']'));
    const QString reason = out.mid(open + 1, close - open - 1);
    return reason.isEmpty() ? out : reason;
}

bool pushArrived(const QString &out)
{
    static const QRegularExpression noneCopied(QStringLiteral("(^|[^0-9])0 files? pushed"));
    return out.contains(QLatin1String("bytes"), Qt::CaseInsensitive)
        && !out.contains(QLatin1String("adb: error:")) && !noneCopied.match(out).hasMatch();
}

bool isToleratedInstallCode(int code)
{
    switch (code) {
    case utils::kAlreadyExists:
    case utils::kInvalidZip:
    case utils::kSystemTooOld:
    case utils::kNotConnected:
        return true;
    default:
        return false;
    }
}

static bool isRobotShellSpecial(QChar c)
{
    // Blanks and line breaks split words; the rest quote, expand, glob, redirect or chain
    // commands somewhere in a word. Letters of any script are plain to the shell; a lone
    // surrogate is not, since it reaches adb as a replacement that may be "?".
    static const QString special = QStringLiteral("'\"\\$`;&|<>()*?[]{}~#!^");
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
        return true;
    default:
        return c.isSpace() || special.contains(c);
    }
}

static bool isPlainRobotShellWord(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (isRobotShellSpecial(text.at(i)))
            return false;
    }
    // An empty word would vanish from the command line.
    return !text.isEmpty();
}

QString robotShellWord(const QString &text)
{
    if (isPlainRobotShellWord(text))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString robotShellPath(const QString &folder, const QString &name)
{
    return name.isEmpty() ? folder : folder + robotShellWord(name);
}

QString commandLineQuoted(const QString &text)
{
    // Inside double quotes, QProcess reads three double quotes as one literal double quote.
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString commandLineWord(const QString &text)
{
    bool needsQuotes = text.isEmpty();
    for (const QChar c : text) {
        if (c.isSpace() || c == QLatin1Char('"'))
            needsQuotes = true;
    }
    return needsQuotes ? commandLineQuoted(text) : text;
}

} // namespace adbparse
