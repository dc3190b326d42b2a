#pragma once

// The package unpacker on a thread of its own, as the dialog runs it, and zip files written
// entry by entry (names and link entries a well-behaved archiver would never make included).

#include "ziphandler.h"

#include <zeverror.h>

#include <quazip.h>
#include <quazipfile.h>

#include <QtTest>

#include <sys/stat.h>

namespace unpackrun {

struct Outcome
{
    int answers = 0;
    int code = -1;
    QList<AppPtr> apps;
};

struct Entry
{
    QString name;
    QByteArray data;
    bool symlink = false;
};

inline Outcome run(const QString &zip, const QString &md5, int timeoutMs)
{
    Outcome outcome;
    QThread thread;
    auto *handler = new ZipHandler;
    handler->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, handler, &QObject::deleteLater);
    QObject receiver;
    QObject::connect(handler, &ZipHandler::sigExtractZipDone, &receiver,
        [&outcome](QList<AppPtr> apps, utils::ZEVErrorPtr error) {
            ++outcome.answers;
            outcome.code = error ? error->errorCode() : -2;
            outcome.apps = apps;
        });
    thread.start();
    QMetaObject::invokeMethod(handler, "slotExtractZip", Qt::QueuedConnection, Q_ARG(QString, zip),
        Q_ARG(QString, md5), Q_ARG(int, 0));
    static_cast<void>(QTest::qWaitFor([&] { return outcome.answers > 0; }, timeoutMs));
    // Once the handler's thread has ended, every answer it gave is among the posted events.
    thread.quit();
    thread.wait();
    QCoreApplication::sendPostedEvents(&receiver);
    return outcome;
}

// An empty path when the file cannot be written.
inline QString writeZip(const QString &path, const QList<Entry> &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return QString();
    for (const Entry &entry : entries) {
        QuaZipNewInfo info(entry.name);
        if (entry.symlink)
            info.externalAttr = quint32(S_IFLNK | 0777) << 16;
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, info))
            return QString();
        file.write(entry.data);
        file.close();
    }
    zip.close();
    return path;
}

} // namespace unpackrun
