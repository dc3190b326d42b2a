#include "upgradeview.h"

const char *stepStateName(StepState state)
{
    switch (state) {
    case StepState::Idle:
        return "Idle";
    case StepState::ReadingBaseInfo:
        return "ReadingBaseInfo";
    case StepState::Preparing:
        return "Preparing";
    case StepState::PushingFiles:
        return "PushingFiles";
    case StepState::InstallingApps:
        return "InstallingApps";
    }
    return "Idle";
}

const char *upgradePageName(UpgradePage page)
{
    switch (page) {
    case UpgradePage::Start:
        return "Start";
    case UpgradePage::Download:
        return "Download";
    case UpgradePage::Install:
        return "Install";
    }
    return "Start";
}
