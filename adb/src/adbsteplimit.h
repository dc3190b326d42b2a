#pragma once

#include "adblog.h"

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <limits>

// Time limits of the adb steps. A robot that keeps the USB link up but stops answering would
// otherwise hold a step, and the whole run, for ever.
//
// ZEV_ADB_STEP_LIMIT_MS in the environment lowers every limit to at most that many milliseconds,
// so that tests of a silent robot take seconds instead of minutes.
namespace adblimit {

// The adb server's restart: as the robot's adb program is run, whatever the cap says.
constexpr int kServerStopMs = 1000;
constexpr int kServerStartPauseMs = 100;
constexpr int kServerStartMs = 1000;

constexpr int kShellMs = 10000;
constexpr int kBuildPropMs = 30000;
constexpr int kRebootMs = 30000;
constexpr int kRebootDelayMs = 5000;
constexpr int kInstallMs = 100000;
constexpr int kInstallCleanUpMs = 1000;
constexpr int kStartServiceMs = 5000;
// Before the removal of each package.
constexpr int kUninstallPauseMs = 300;
// A push is given a fixed allowance plus the time its bytes need at a rate far below any USB link.
constexpr int kPushBaseMs = 30000;
constexpr qint64 kPushSlowestBytesPerSecond = 256 * 1024;

inline int capped(int ms)
{
    bool ok = false;
    const int cap = qEnvironmentVariableIntValue("ZEV_ADB_STEP_LIMIT_MS", &ok);
    return ok && cap > 0 ? std::min(ms, cap) : ms;
}

inline int pushMs(qint64 bytes)
{
    const qint64 allowance
        = kPushBaseMs + std::max<qint64>(bytes, 0) * 1000 / kPushSlowestBytesPerSecond;
    return static_cast<int>(std::min<qint64>(allowance, std::numeric_limits<int>::max()));
}

// Started when made; tells afterwards whether the command it timed used up its limit.
class StepClock
{
public:
    explicit StepClock(int uncappedMs)
        : limitMs(capped(uncappedMs))
    {
        clock.start();
    }

    int limit() const { return limitMs; }

    // True, with a diagnostic line, when the command ran until its limit ended it.
    bool ranOut(const QString &commandLine) const
    {
        if (clock.elapsed() < limitMs)
            return false;
        qCDebug(lcAdb, "The robot did not answer within %d ms: %s", limitMs,
            qUtf8Printable(commandLine));
        return true;
    }

private:
    int limitMs;
    QElapsedTimer clock;
};

} // namespace adblimit
