#pragma once

#include <QLoggingCategory>

// The adb library's diagnostic detail: every command line before it runs, what a failed push
// said, a step that ran out of time. Off unless enabled ("zev.adb.debug=true" in
// QT_LOGGING_RULES); the program then writes it into the day's log at level Debug.
inline const QLoggingCategory &lcAdb()
{
    static const QLoggingCategory category("zev.adb", QtInfoMsg);
    return category;
}
