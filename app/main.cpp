#include "app.h"
#include "applog.h"
#include "robottarvo2.h"
#include "startup.h"
#include "tarvo2_upgradetool.h"

#include "appconfig.h"
#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "zeverror.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaType>

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

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Logger::instance()->info(QStringLiteral("UpgradeTool start."));
    Logger::routeDiagnostics(readDebugLogSwitch());
    if (FileUtils::writableHomePath() != FileUtils::appDirPath())
        qCDebug(lcApp, "The program's folder %s is read-only; Log, download and config are in %s.",
                qUtf8Printable(FileUtils::appDirPath()),
                qUtf8Printable(FileUtils::writableHomePath()));

    // Checked before the dialog exists: its constructor cleans work folders a running copy uses.
    if (!platform::acquireSingleInstance(kSingleInstanceName)) {
        Logger::instance()->info(QStringLiteral("UpgradeTool exit with already running."));
        QMessageBox::warning(nullptr, QObject::tr("Warnning"),
                             QObject::tr("The software instance is running now!"), QObject::tr("Ok"),
                             QString(), QString(), 0, -1);
        return 0;
    }

    registerMetaTypes();

    Translators translators;
    installTranslations(app, translators);

    Tarvo2_UpgradeTool *dialog = Tarvo2_UpgradeTool::instance();
    dialog->setWindowFlags(Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_TranslucentBackground, false);
    dialog->show();

    const int exitCode = app.exec();
    Tarvo2_UpgradeTool::release();
    return exitCode;
}
