#pragma once

#include <QLoggingCategory>

// The program's own diagnostic detail: how a run ended, why a package or libusb was refused.
// Off unless enabled ("zev.app.debug=true" in QT_LOGGING_RULES); it then goes into the day's
// log at level Debug.
inline const QLoggingCategory &lcApp()
{
    static const QLoggingCategory category("zev.app", QtInfoMsg);
    return category;
}
