#pragma once

#include <diagnostics.h>

// The download component's diagnostic detail: requests, downloads, reports and their queue.
ZEV_DIAGNOSTIC_CATEGORY(lcDownload, "zev.download")
