// One download (header 2) through the download component, for timing beside curl -o; over
// https with the certificate authorities of CA_FILE trusted besides the system's.
// Prints the saved file's path and size; exits 1 when the component reports a failure.
#include <zevdownloadhandler.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

class Sink : public IDownloadHandlerEvent
{
public:
    void onProgress(qint64, qint64) override { }
    void onTaskFinished(
        qint64, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr error) override
    {
        code = error ? error->errorCode() : 0;
        done = doneBytes;
        path = filePath;
        QCoreApplication::exit(code == 0 ? 0 : 1);
    }
    void onUpgradeInfo(UpgRespDataPtr, utils::ZEVErrorPtr) override { }

    int code = -1;
    qint64 done = 0;
    QString path;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: bench_download URL FOLDER [CA_FILE]\n");
        return 2;
    }
    const QString url = QString::fromLocal8Bit(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]);

    Sink sink;
    int rc = 1;
    {
        ZEVDownloadHandler handler;
        handler.setReportQueueFile(folder + QStringLiteral("/pending_reports.json"));
        handler.createTaskInstance(folder, &sink, DownLoadTaskModeNormal);
        if (argc == 4)
            handler.setCaFile(QString::fromLocal8Bit(argv[3]));
        handler.postHttpTask(url, HttpCmdDownload, nullptr);
        rc = app.exec();
    }
    if (rc != 0) {
        std::fprintf(stderr, "download failed with code %d\n", sink.code);
        return 1;
    }
    std::printf("%s %lld\n", qPrintable(sink.path), static_cast<long long>(sink.done));
    return 0;
}
