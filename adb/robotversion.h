#pragma once

// enumRobotVersion, shared with the USB watcher and the download component.
#include <robottypes.h>
