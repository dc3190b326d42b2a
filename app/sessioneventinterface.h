#pragma once

#include <zevsocketsession.h>

#include <QObject>

// Lets qobject_cast and qt_metacast answer for the session's event interface on the Qt objects
// that implement it.
Q_DECLARE_INTERFACE(IZEVSocketSessionEvent, "IZEVSocketSessionEvent")
