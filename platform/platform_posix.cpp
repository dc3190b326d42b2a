#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string lockFolder()
{
    for (const char *variable : { "XDG_RUNTIME_DIR", "TMPDIR" }) {
        const char *value = std::getenv(variable);
        struct stat st;
        if (value && *value && ::stat(value, &st) == 0 && S_ISDIR(st.st_mode))
            return value;
    }
    return "/tmp";
}

std::string lockFileName(const std::string &name)
{
    std::string safe = name.empty() ? std::string("instance") : name;
    for (char &c : safe) {
        if (c == '/')
            c = '_';
    }
    return safe + ".lock";
}

std::string baseName(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readLink(const std::string &path, std::string &target)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return false;
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string executableNameOf(const std::string &pidText)
{
    const std::string folder = "/proc/" + pidText;
    std::string target;
    if (readLink(folder + "/exe", target)) {
        // A replaced or removed program file shows as "<path> (deleted)".
        static const std::string deleted = " (deleted)";
        if (target.size() > deleted.size()
            && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
            target.resize(target.size() - deleted.size());
        return baseName(target);
    }

    const int fd = ::open((folder + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return std::string();
    std::string comm(buffer, static_cast<std::size_t>(n));
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0'))
        comm.pop_back();
    return comm;
}

} // namespace

bool acquireSingleInstance(const std::string &name)
{
    static std::mutex heldLock;
    static std::map<std::string, int> held;

    std::lock_guard<std::mutex> guard(heldLock);
    if (held.count(name))
        return true;

    const std::string path = lockFolder() + "/" + lockFileName(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // Without a lock file nothing can tell two copies apart; refusing would lock the user
        // out for good, so this copy runs.
        return true;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    // The descriptor stays open for the life of the process; the kernel drops the lock with it.
    held.emplace(name, fd);
    return true;
}

bool listProcesses(std::vector<ProcessEntry> &out)
{
    out.clear();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    while (const dirent *entry = ::readdir(proc)) {
        const char *text = entry->d_name;
        if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text))
            continue;
        ProcessEntry process;
        process.pid = std::strtoll(text, nullptr, 10);
        process.executableName = executableNameOf(text);
        if (!process.executableName.empty())
            out.push_back(process);
    }
    ::closedir(proc);
    return true;
}

std::int64_t currentProcessId()
{
    return static_cast<std::int64_t>(::getpid());
}

bool terminateProcess(std::int64_t pid, bool &opened)
{
    opened = false;
    if (pid <= 0)
        return false;
    if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0) {
        opened = true;
        return true;
    }
    // ESRCH: already gone; EPERM: not ours to end. Neither counts as a failed termination.
    return false;
}

const char *adbProgramName()
{
    return "adb";
}

const char *adbRelativePath()
{
    return "fastbootfile/adb";
}

int openForAppend(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

AppendLock::AppendLock(const std::string &) {}
AppendLock::~AppendLock() = default;
bool AppendLock::lock()
{
    return true;
}
void AppendLock::unlock() {}

} // namespace platform
