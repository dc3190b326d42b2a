// Sends one report through the download component, as the program does, to the web service at
// the address on its command line, and ends once the component is done with it. The read-only
// folder test runs it from its copy of the shipped folder: where a report that cannot be sent is
// kept is what it looks at.
#include <idownloadhandlerevent.h>
#include <zevdownloadhandler.h>

#include <QCoreApplication>
#include <QTimer>

namespace {

// The newest-package request behind the report answers once the report is done with.
class QuitOnAnswer : public IDownloadHandlerEvent
{
public:
    void onProgress(qint64, qint64) override { }
    void onTaskFinished(qint64, qint64, QString, utils::ZEVErrorPtr) override { }
    void onUpgradeInfo(UpgRespDataPtr, utils::ZEVErrorPtr) override { QCoreApplication::quit(); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    // The program's name, which names its folder among the user's application data.
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo2_UpgradeTool"));
    const QString base = QString::fromLocal8Bit(argv[1]);
    QuitOnAnswer sink;
    ZEVDownloadHandler handler;
    handler.createTaskInstance(QString(), &sink, DownLoadTaskModeNormal);
    handler.postHttpTask(
        base + QStringLiteral("/zev/version/addPcInstallStat"), HttpCmdReport, utils::makeError(0));
    handler.postHttpTask(
        base + QStringLiteral("/zev/version/findPcInstallApk"), HttpCmdUpgradeInfo, nullptr);
    QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
