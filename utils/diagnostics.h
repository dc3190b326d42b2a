#pragma once

#include <QLoggingCategory>

// Declares `function()`, the diagnostic category `name` of one library. Diagnostics are written
// with qCDebug only, so "<name>.debug=true" in QT_LOGGING_RULES, or "debugLog" in config.json,
// turns all of a category on. Until then every level is off, warnings included: the day's log
// holds only the product's own lines, and nothing reaches the terminal either.
#define ZEV_DIAGNOSTIC_CATEGORY(function, name)                                                   \
    inline const QLoggingCategory &function()                                                     \
    {                                                                                             \
        /* Enabled from the fatal level up: no level a category can write at. */                  \
        static const QLoggingCategory category(name, QtFatalMsg);                                 \
        return category;                                                                          \
    }
