#pragma once

#include "adbworker.h"

#include <zeverror.h>

#include <QList>
#include <QMap>
#include <QString>

// Copies the files of the package's "actions" folder to the robot's /sdcard/actions/, the folder
// tree flattened to one level.
class AdbPushFileWorker : public AdbWorker
{
    Q_OBJECT
public:
    explicit AdbPushFileWorker(QObject *parent = nullptr);

    void prepareCommands() override;

signals:
    void sigPushFilesFinished(utils::ZEVErrorPtr);
    void sigPushOneFileFinished(QString, utils::ZEVErrorPtr, int, int);

public slots:
    void slotPushFiles(QString folder);

private:
    void collectFiles(const QString &folder, QStringList &files) const;

    QList<QString> folders;
    QMap<QString, QString> pushTargets; // push command line -> local file it copies
    QString rootPath;
    qint32 totalFiles = 0;
};
