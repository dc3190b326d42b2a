// Sends one report through the download component, as the program does, to the web service at
// the address on its command line, and ends once the component is done with it.
#include <zevdownloadhandler.h>

#include <QCoreApplication>
#include <QTimer>

// The newest-package request behind the report is answered once the report is done with.
class QuitOnAnswer : public IDownloadHandlerEvent
{
    void onProgress(qint64, qint64) override { }
    void onTaskFinished(qint64, qint64, QString, utils::ZEVErrorPtr) override { }
    void onUpgradeInfo(UpgRespDataPtr, utils::ZEVErrorPtr) override { QCoreApplication::quit(); }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The program's name, which names its folder among the user's application data.
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo2_UpgradeTool"));
    const QString base = app.arguments().value(1);
    QuitOnAnswer sink;
    ZEVDownloadHandler handler;
    handler.createTaskInstance(QString(), &sink, DownLoadTaskModeNormal);
    handler.postHttpTask(base + "/zev/version/addPcInstallStat", HttpCmdReport, utils::makeError());
    handler.postHttpTask(base + "/zev/version/findPcInstallApk", HttpCmdUpgradeInfo, nullptr);
    QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
