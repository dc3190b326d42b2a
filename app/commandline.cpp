#include "commandline.h"

#include <QCommandLineParser>
#include <QLatin1String>

namespace {

// Qt's own options with a value, which QGuiApplication and QApplication take out of argv
// (with one dash or two).
const char *const kQtValueOptions[] = { "platform", "platformpluginpath", "platformtheme",
    "plugin", "qwindowgeometry", "qwindowicon", "qwindowtitle", "style", "stylesheet", "session",
    "display", "geometry", "title", "name", "qmljsdebugger" };
const char *const kQtFlags[] = { "reverse", "widgetcount", "nograb", "dograb", "sync" };

QString optionName(const QString &word)
{
    QString name = word.mid(word.startsWith(QLatin1String("--")) ? 2 : 1);
    return name.left(name.indexOf(QLatin1Char('=')));
}

bool isOneOf(const QString &name, const char *const *names, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (name == QLatin1String(names[i]))
            return true;
    }
    return false;
}

struct Parser
{
    QCommandLineParser parser;
    QCommandLineOption headless { QStringLiteral("headless"),
        QStringLiteral("Upgrade the attached robot without a window; the result on standard "
                       "output.") };
    QCommandLineOption json { QStringLiteral("json"),
        QStringLiteral("One JSON object per line instead of plain lines.") };
    QCommandLineOption wait { QStringLiteral("wait"),
        QStringLiteral("Wait up to <seconds> for a robot to be plugged in."),
        QStringLiteral("seconds") };
    QCommandLineOption loop { QStringLiteral("loop"),
        QStringLiteral("Upgrade one robot after another until Ctrl+C.") };

    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Without options: the upgrade dialog. Exit status: 0 success, 1 an "
                           "upgrade failed, 2 bad arguments, 3 another copy running, 130 "
                           "interrupted."));
        parser.addOptions({ headless, json, wait, loop });
        parser.addHelpOption();
        parser.addVersionOption();
    }
};

} // namespace

bool wantsCommandLine(const QStringList &rawArguments)
{
    for (int i = 0; i < rawArguments.size(); ++i) {
        const QString &word = rawArguments.at(i);
        if (!word.startsWith(QLatin1Char('-')))
            return true;
        const QString name = optionName(word);
        if (isOneOf(name, kQtValueOptions, std::size(kQtValueOptions))) {
            if (!word.contains(QLatin1Char('=')))
                ++i;
            continue;
        }
        if (!isOneOf(name, kQtFlags, std::size(kQtFlags)))
            return true;
    }
    return false;
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    if (arguments.size() <= 1)
        return result;
    Parser p;
    if (!p.parser.parse(arguments)) {
        result.action = CommandLine::Action::Error;
        result.error = p.parser.errorText();
        return result;
    }
    if (p.parser.isSet(QStringLiteral("help"))) {
        result.action = CommandLine::Action::Help;
        return result;
    }
    if (p.parser.isSet(QStringLiteral("version"))) {
        result.action = CommandLine::Action::Version;
        return result;
    }
    result.action = CommandLine::Action::Error;
    if (!p.parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("Unexpected argument: %1")
                           .arg(p.parser.positionalArguments().constFirst());
        return result;
    }
    if (!p.parser.isSet(p.headless)) {
        result.error = QStringLiteral("--json, --wait and --loop need --headless.");
        return result;
    }
    result.options.json = p.parser.isSet(p.json);
    result.options.loop = p.parser.isSet(p.loop);
    result.options.waitSeconds = result.options.loop ? -1 : 0;
    if (p.parser.isSet(p.wait)) {
        bool ok = false;
        const int seconds = p.parser.value(p.wait).toInt(&ok);
        // A day is more than any line waits; the bound keeps the milliseconds in an int.
        if (!ok || seconds < 0 || seconds > 86400) {
            result.error = QStringLiteral("--wait needs a number of seconds from 0 to 86400.");
            return result;
        }
        result.options.waitSeconds = seconds;
    }
    result.action = CommandLine::Action::Headless;
    return result;
}

QString usageText()
{
    Parser p;
    return p.parser.helpText();
}
