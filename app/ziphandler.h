#pragma once

#include "app.h"

#include <zeverror.h>

#include <QList>
#include <QObject>
#include <QString>

// Checks an upgrade package against its announced MD5 and, when the configuration names trusted
// keys, against its signature "<package>.minisig" (refused: kPackageSignatureBad, both files removed); then
// unpacks it beside itself and turns its APK files into the ordered install plan. Lives on a
// thread of its own; each slotExtractZip ends in exactly one sigExtractZipDone.
class ZipHandler : public QObject
{
    Q_OBJECT
public:
    explicit ZipHandler(QObject *parent = nullptr);

    // Entries that would land outside `folder` (absolute names, "..", drive letters, links) or an
    // archive that cannot be read give false; nothing is unpacked then.
    static bool archiveStaysInside(const QString &archive);
    // The sum of the sizes the archive declares for its entries (saturating), -1 when it cannot
    // be read. An entry never grows past its declared size while it is unpacked: the reader
    // stops there and the checksum then fails.
    static qint64 declaredUnpackedSize(const QString &archive);

signals:
    void sigExtractZipDone(QList<AppPtr> appList, utils::ZEVErrorPtr errorPtr);

public slots:
    void slotExtractZip(QString fileName, QString qsMD5, int type);
};
