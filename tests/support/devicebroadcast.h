#pragma once

// WM_DEVICECHANGE's data as Windows sends it to a window registered for USB device interfaces:
// a DEV_BROADCAST_DEVICEINTERFACE_W whose name carries the vendor and product ids. Windows only.

#include <QString>

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <vector>

// A broadcast with its name in place, as large as the name needs.
inline std::vector<char> deviceBroadcast(const QString &name)
{
    const std::wstring wide = name.toStdWString();
    std::vector<char> bytes(
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (wide.size() + 1) * sizeof(wchar_t));
    auto *header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(bytes.data());
    header->dbcc_size = static_cast<DWORD>(bytes.size());
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::copy(wide.begin(), wide.end(), header->dbcc_name);
    header->dbcc_name[wide.size()] = L'\0';
    return bytes;
}
