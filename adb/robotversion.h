#pragma once

// Robot hardware type recognised from the USB IDs.
enum enumRobotVersion {
    RobotVersion2M = 0,
    RobotVersion5M = 1,
    RobotVersionUnknown = 255,
};
