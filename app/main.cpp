#include "app.h"
#include "applog.h"
#include "commandline.h"
#include "consoleio.h"
#include "headlessrunner.h"
#include "robottarvo2.h"
#include "startup.h"
#include "tarvo2_upgradetool.h"

#include "appconfig.h"
#include "constants.h"
#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "zeverror.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaType>
#include <QPointer>

#include <algorithm>

namespace {

const char kSingleInstanceName[] = "Tarvo2UpgradeTool";

// Types that travel through queued connections between the workers and the dialog. The
// registration stays in the program: the libraries hide their symbols and link their own copy
// of the utilities.
void registerMetaTypes()
{
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<RobotTarvo2Ptr>("RobotTarvo2Ptr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
}

QStringList rawArguments(int argc, char *argv[])
{
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words << QString::fromLocal8Bit(argv[i]);
    return words;
}

// The command-line mode needs no display: Qt's offscreen platform, unless one is named. Qt's own
// warnings go to standard error, never among the results on standard output.
void prepareCommandLineMode(const QStringList &words)
{
    const bool platformNamed = qEnvironmentVariableIsSet("QT_QPA_PLATFORM")
        || std::any_of(words.begin(), words.end(), [](const QString &word) {
               return word == QLatin1String("-platform") || word == QLatin1String("--platform")
                   || word.startsWith(QLatin1String("-platform="))
                   || word.startsWith(QLatin1String("--platform="));
           });
    // Windows always has a display, and the hidden dialog's native window gets the USB device
    // messages there.
#ifndef Q_OS_WIN
    if (!platformNamed)
        qputenv("QT_QPA_PLATFORM", "offscreen");
#else
    Q_UNUSED(platformNamed)
#endif
}

int runHeadless(QApplication &app, const HeadlessOptions &options)
{
    Tarvo2_UpgradeTool *dialog = Tarvo2_UpgradeTool::instance();
    int exitCode = 0;
    {
        HeadlessRunner runner(dialog, options, &consoleio::writeLine);
        // The handler outlives the runner: an interrupt after the run's end finds nothing to do.
        consoleio::onInterrupt([runnerAlive = QPointer<HeadlessRunner>(&runner)] {
            if (runnerAlive)
                runnerAlive->interrupt();
        });
        runner.start();
        exitCode = app.exec();
    }
    Tarvo2_UpgradeTool::release();
    return exitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    const QStringList words = rawArguments(argc, argv);
    const bool commandLine = wantsCommandLine(words);
    if (commandLine)
        prepareCommandLineMode(words);
    QApplication app(argc, argv);

    const CommandLine command
        = commandLine ? parseCommandLine(app.arguments()) : CommandLine();
    switch (command.action) {
    case CommandLine::Action::Dialog:
    case CommandLine::Action::Headless:
        break;
    case CommandLine::Action::Help:
        consoleio::writeLine(usageText());
        return static_cast<int>(ExitStatus::Success);
    case CommandLine::Action::Version:
        consoleio::writeLine(QStringLiteral("Tarvo2_UpgradeTool V") + zev::kToolVersion);
        return static_cast<int>(ExitStatus::Success);
    case CommandLine::Action::Error:
        consoleio::writeError(command.error + QLatin1String("\n\n") + usageText());
        return static_cast<int>(ExitStatus::BadArguments);
    }
    const bool headless = command.action == CommandLine::Action::Headless;

    Logger::instance()->info(QStringLiteral("UpgradeTool start."));
    Logger::routeDiagnostics(readDebugLogSwitch());
    if (FileUtils::writableHomePath() != FileUtils::appDirPath())
        qCDebug(lcApp, "The program's folder %s is read-only; Log, download and config are in %s.",
                qUtf8Printable(FileUtils::appDirPath()),
                qUtf8Printable(FileUtils::writableHomePath()));

    // Checked before the dialog exists: its constructor cleans work folders a running copy uses.
    if (!platform::acquireSingleInstance(kSingleInstanceName)) {
        Logger::instance()->info(QStringLiteral("UpgradeTool exit with already running."));
        if (headless) {
            consoleio::writeError(QObject::tr("The software instance is running now!")
                                  + QLatin1Char('\n'));
            return static_cast<int>(ExitStatus::AlreadyRunning);
        }
        QMessageBox::warning(nullptr, QObject::tr("Warnning"),
                             QObject::tr("The software instance is running now!"), QObject::tr("Ok"),
                             QString(), QString(), 0, -1);
        return 0;
    }

    registerMetaTypes();

    Translators translators;
    installTranslations(app, translators);

    if (headless)
        return runHeadless(app, command.options);

    Tarvo2_UpgradeTool *dialog = Tarvo2_UpgradeTool::instance();
    dialog->setWindowFlags(Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_TranslucentBackground, false);
    dialog->show();

    const int exitCode = app.exec();
    Tarvo2_UpgradeTool::release();
    return exitCode;
}
