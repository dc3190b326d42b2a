#pragma once

#include <diagnostics.h>

// The program's own diagnostic detail: how a run ended, why a package or libusb was refused.
ZEV_DIAGNOSTIC_CATEGORY(lcApp, "zev.app")
