#pragma once

// Operating system services behind one header: the Win32 version and a POSIX one are chosen by
// the build. Plain C++ so the Win32 file can be checked with a cross compiler without Qt.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Holds the process-wide single-instance token named `name`. Returns false when another
// running process holds it. The token stays held until the process ends; the system drops it
// when the process dies.
bool acquireSingleInstance(const std::string &name);

struct ProcessEntry
{
    std::int64_t pid = 0;
    std::string executableName; // file name only, e.g. "adb.exe" or "adb"
};

// Snapshot of running processes; false when the snapshot cannot be taken.
bool listProcesses(std::vector<ProcessEntry> &out);
std::int64_t currentProcessId();
// Terminates the process with exit code 0 (Windows) / SIGKILL (POSIX). `opened` is false when
// the process could not be opened (gone or no right), in which case the result does not count.
bool terminateProcess(std::int64_t pid, bool &opened);
// Ends every process named `name` (ignoring ASCII case) except the caller. False when the
// snapshot fails or any termination of an opened process fails.
bool killProcessesByName(const std::string &name);

// Opens (creating it if need be) the file at `path` (UTF-8 on Windows, the file name's bytes
// elsewhere) for appending and returns a C
// runtime file descriptor, or -1. Every write lands at the file's end even while other handles
// append to it too: each library writes the same daily log through its own handle.
int openForAppend(const std::string &path);

// Lets one append at a time through, across every handle and process appending to the file at
// `path` (the same text for each). Windows appends through append-only handles atomically by
// itself; Wine, which the Windows tests run under, moves to the end and writes in two steps and
// loses lines without it. Nothing to do on POSIX, where O_APPEND is atomic.
class AppendLock
{
public:
    // An append takes far less than a millisecond, so a copy that holds the lock this long is
    // stopped (a debugger, a suspended process) rather than slow. Waiting on would stall every
    // other copy's logging, and with it their GUI threads: the line is written anyway, and until
    // the lock is had again later lines do not wait for it.
    static constexpr unsigned kWaitMs = 2000;

    explicit AppendLock(const std::string &path);
    ~AppendLock();
    AppendLock(const AppendLock &) = delete;
    AppendLock &operator=(const AppendLock &) = delete;
    // Whether the lock is now held; the caller appends either way.
    bool lock();
    // Lets go of the lock if lock() took it.
    void unlock();

private:
    [[maybe_unused]] void *m_mutex = nullptr;
    [[maybe_unused]] bool m_held = false;
    [[maybe_unused]] bool m_gaveUp = false;
};

// "adb.exe" on Windows, "adb" elsewhere; and its path relative to the program folder.
const char *adbProgramName();
const char *adbRelativePath();

} // namespace platform
