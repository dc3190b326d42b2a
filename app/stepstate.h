#pragma once

// The step of an upgrade run, as far as a library operation may be running in it: it decides
// what a USB change does and whether a failure is reported to the web service. The values are
// the ones the tool has always kept.
enum class StepState {
    Idle = -1,
    ReadingBaseInfo = 0,
    // Build checks, upgrade information, download and unpacking.
    Preparing = 1,
    PushingFiles = 4,
    InstallingApps = 5,
};

// The enumerator's name, as the headless mode prints it.
const char *stepStateName(StepState state);
