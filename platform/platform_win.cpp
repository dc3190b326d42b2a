#include "platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// Needs the types of windows.h, so it stays after it.
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <map>

namespace platform {

namespace {

std::wstring toWide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size
        = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string toUtf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(size - 1));
    return utf8;
}

bool acquireLocked(std::map<std::string, HANDLE> &held, const std::string &name)
{
    if (held.count(name))
        return true;

    const std::wstring wideName = toWide(name);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, wideName.c_str());
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    if (!mutex) {
        // Access denied: a copy in another session holds it. Any other failure cannot decide,
        // so this copy runs.
        return GetLastError() != ERROR_ACCESS_DENIED;
    }
    // Kept open for the life of the process; Windows closes it when the process ends.
    held.emplace(name, mutex);
    return true;
}

} // namespace

bool acquireSingleInstance(const std::string &name)
{
    // SRW lock rather than std::mutex: the win32 thread model of MinGW has no std::mutex.
    static SRWLOCK heldLock = SRWLOCK_INIT;
    static std::map<std::string, HANDLE> held;

    AcquireSRWLockExclusive(&heldLock);
    const bool result = acquireLocked(held, name);
    ReleaseSRWLockExclusive(&heldLock);
    return result;
}

bool listProcesses(std::vector<ProcessEntry> &out)
{
    out.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;

    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    if (Process32FirstW(snapshot, &entry)) {
        do {
            ProcessEntry process;
            process.pid = static_cast<std::int64_t>(entry.th32ProcessID);
            process.executableName = toUtf8(entry.szExeFile);
            if (!process.executableName.empty())
                out.push_back(process);
            entry.dwSize = sizeof entry;
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return true;
}

std::int64_t currentProcessId()
{
    return static_cast<std::int64_t>(GetCurrentProcessId());
}

bool terminateProcess(std::int64_t pid, bool &opened)
{
    opened = false;
    if (pid <= 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    opened = true;
    const bool terminated = TerminateProcess(process, 0) != FALSE;
    CloseHandle(process);
    return terminated;
}

const char *adbProgramName()
{
    return "adb.exe";
}

const char *adbRelativePath()
{
    return "fastbootfile/adb.exe";
}

int openForAppend(const std::string &path)
{
    // Append-only access makes the system put every write at the current end of the file; a
    // handle with write access and a file position of its own would overwrite what another
    // handle appended since.
    HANDLE handle = CreateFileW(toWide(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

AppendLock::AppendLock(const std::string &path)
{
    // A named mutex per file: the name is a hash of the path without regard to case, as the file
    // system sees it.
    std::wstring wide = toWide(path);
    CharLowerBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t c : wide)
        hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ull;
    std::wstring name = L"Local\\ZevAppend-";
    for (int shift = 60; shift >= 0; shift -= 4)
        name += L"0123456789abcdef"[(hash >> shift) & 0xf];
    m_mutex = CreateMutexW(nullptr, FALSE, name.c_str());
}

AppendLock::~AppendLock()
{
    if (m_mutex)
        CloseHandle(static_cast<HANDLE>(m_mutex));
}

bool AppendLock::lock()
{
    if (!m_mutex)
        return false;
    const DWORD waited = WaitForSingleObject(static_cast<HANDLE>(m_mutex), m_gaveUp ? 0 : kWaitMs);
    // An owner that ended while holding it leaves it abandoned, which hands it over all the same.
    m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    m_gaveUp = !m_held;
    return m_held;
}

void AppendLock::unlock()
{
    if (m_held)
        ReleaseMutex(static_cast<HANDLE>(m_mutex));
    m_held = false;
}

} // namespace platform
