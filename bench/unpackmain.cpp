// The package unpacker as the dialog runs it (MD5 check, unpack beside the package, install
// plan), for timing beside unzip -q and md5sum. Prints the plan; exits 1 on a failure code.
#include <ziphandler.h>

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_unpack PACKAGE MD5\n");
        return 2;
    }
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");

    QThread thread;
    auto *handler = new ZipHandler;
    handler->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, handler, &QObject::deleteLater);
    int code = -1;
    int apps = 0;
    QObject::connect(handler, &ZipHandler::sigExtractZipDone, &app,
        [&](QList<AppPtr> appList, utils::ZEVErrorPtr error) {
            code = error ? error->errorCode() : 0;
            apps = appList.size();
            app.quit();
        });
    thread.start();
    QMetaObject::invokeMethod(handler, "slotExtractZip", Qt::QueuedConnection,
        Q_ARG(QString, QString::fromLocal8Bit(argv[1])),
        Q_ARG(QString, QString::fromLatin1(argv[2])), Q_ARG(int, 0));
    app.exec();
    thread.quit();
    thread.wait();
    if (code != 0) {
        std::fprintf(stderr, "unpacking failed with code %d\n", code);
        return 1;
    }
    std::printf("%d APK files in the plan\n", apps);
    return 0;
}
