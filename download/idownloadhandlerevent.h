#pragma once

#include "upgrespdata.h"

#include <zeverror.h>

#include <QString>

// The download component's event sink, implemented by its user.
// onProgress comes any number of times during a download, then onTaskFinished exactly once;
// onUpgradeInfo comes once per newest-package request, on the thread that owns the component.
class IDownloadHandlerEvent
{
public:
    virtual ~IDownloadHandlerEvent() = default;
    // totalBytes is the whole file's size (0 while unknown), doneBytes what of it is saved.
    virtual void onProgress(qint64 totalBytes, qint64 doneBytes) = 0;
    virtual void onTaskFinished(
        qint64 totalBytes, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr error)
        = 0;
    virtual void onUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error) = 0;
};
