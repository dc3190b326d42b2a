#pragma once

#include <QLoggingCategory>

// The download component's diagnostic detail: requests, downloads, reports and their queue.
// Off unless enabled ("zev.download.debug=true" in QT_LOGGING_RULES); the program then writes
// it into the day's log at level Debug.
inline const QLoggingCategory &lcDownload()
{
    static const QLoggingCategory category("zev.download", QtInfoMsg);
    return category;
}
