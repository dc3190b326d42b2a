#include "platform.h"

#include <cctype>

namespace platform {

namespace {

bool equalsIgnoringAsciiCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (std::tolower(ca) != std::tolower(cb))
            return false;
    }
    return true;
}

} // namespace

bool killProcessesByName(const std::string &name)
{
    std::vector<ProcessEntry> processes;
    if (!listProcesses(processes))
        return false;
    if (name.empty())
        return true;

    const std::int64_t self = currentProcessId();
    bool result = true;
    for (const ProcessEntry &process : processes) {
        if (process.pid == self || !equalsIgnoringAsciiCase(process.executableName, name))
            continue;
        bool opened = false;
        const bool terminated = terminateProcess(process.pid, opened);
        if (opened && !terminated)
            result = false;
    }
    return result;
}

} // namespace platform
