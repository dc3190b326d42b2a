#pragma once

#include <diagnostics.h>

// The adb library's diagnostic detail: every command line before it runs, what a failed push
// said, a step that ran out of time.
ZEV_DIAGNOSTIC_CATEGORY(lcAdb, "zev.adb")
