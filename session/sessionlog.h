#pragma once

#include <diagnostics.h>

// The session's diagnostic detail: received message ids, socket errors, refused sends.
ZEV_DIAGNOSTIC_CATEGORY(lcSession, "zev.session")
