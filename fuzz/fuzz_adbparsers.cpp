// Arbitrary text as every answer adb gives the workers: build.prop, arp, ifconfig, dumpsys
// battery, df, pm list packages and install answers. Besides crashes and undefined behaviour it
// stops on broken invariants of what goes back into a command line: the names read from the
// robot cannot carry a line break or a blank into it, and any text, once made a robot shell
// word and a command line word, comes back unchanged as exactly one argument of one shell word.
#include "adbparsers.h"

#include <zeverror.h>

#include <QProcess>

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Beyond ASCII every byte of UTF-8 is an ordinary word character to a POSIX shell.
bool isShellSafe(QChar c)
{
    return (c.unicode() >= 0x80 && !c.isSpace()) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        || QStringLiteral("_.,:=+@%/-").contains(c);
}

// What a POSIX shell makes of one word built only from safe characters, single-quoted runs and
// backslash escapes; nothing when anything else (an expansion, a separator) would reach it.
std::optional<QString> shellWord(const QString &word)
{
    QString text;
    int i = 0;
    while (i < word.size()) {
        const QChar c = word.at(i);
        if (c == QLatin1Char('\'')) {
            const int close = word.indexOf(QLatin1Char('\''), i + 1);
            if (close < 0)
                return std::nullopt;
            text += word.mid(i + 1, close - i - 1);
            i = close + 1;
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 >= word.size())
                return std::nullopt;
            text += word.at(i + 1);
            i += 2;
        } else if (isShellSafe(c)) {
            text += c;
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return text;
}

void checkWords(const QString &text)
{
    // A process argument ends at its first NUL; nothing after it reaches adb.
    if (text.contains(QChar(0)))
        return;
    const QString robotWord = adbparse::robotShellWord(text);
    const std::optional<QString> back = shellWord(robotWord);
    require(back && *back == text);

    const QStringList one = QProcess::splitCommand(adbparse::commandLineWord(robotWord));
    require(one.size() == 1 && one.first() == robotWord);
    if (!text.isEmpty()) {
        const QStringList quoted = QProcess::splitCommand(adbparse::commandLineQuoted(text));
        require(quoted.size() == 1 && quoted.first() == text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString out = adbparse::removeCrLf(QString::fromUtf8(bytes));

    const auto build = adbparse::readBuildProp(
        out, QStringLiteral("ro.build.version.incremental="), QStringLiteral("ro.build.date.utc="));
    if (build) {
        for (const QChar c : build->buildVersion)
            require(c.isDigit());
        adbparse::isUsableBuildInfo(*build);
    }

    if (const auto name = adbparse::arpInterface(out)) {
        require(!name->contains(QLatin1Char('\n')));
        require(!name->trimmed().contains(QLatin1Char(' ')));
        checkWords(name->trimmed());
    }
    if (const auto address = adbparse::ifconfigAddress(out)) {
        require(!address->isEmpty());
        for (const QChar c : *address)
            require(c.unicode() > 0x7f || !c.isSpace());
    }

    adbparse::readBattery(out);
    adbparse::dataPartitionFreeBytes(out);

    for (const QString &package : adbparse::removablePackages(out)) {
        require(!package.isEmpty() && package == package.trimmed());
        require(!package.contains(QLatin1Char('\n')) && !package.contains(QLatin1Char(':')));
    }

    const QString reason = adbparse::installFailureReason(out);
    utils::ZEVError::errorCodeFromAdbOutput(reason.toLocal8Bit());
    utils::ZEVError::errorCodeFromAdbOutput(bytes);

    checkWords(out);
    return 0;
}
