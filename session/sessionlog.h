#pragma once

#include <QLoggingCategory>

// The session's diagnostic detail: received message ids, socket errors, refused sends. Off unless
// enabled ("zev.session.debug=true" in QT_LOGGING_RULES); the program then writes it into the
// day's log at level Debug.
inline const QLoggingCategory &lcSession()
{
    static const QLoggingCategory category("zev.session", QtInfoMsg);
    return category;
}
