/* devchange arrive|remove NAME: tells the visible top-level windows of other programs that the USB
 * device interface NAME (such as \\?\USB#VID_18D1&PID_4E26#serial#{a5dcbf10-...}) arrived or
 * was removed, as Windows tells a window registered for device-interface notifications. Returns
 * once every window has handled the message; exit code 0 when at least one did. */
#include <windows.h>

#include <dbt.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

struct Notice
{
    WPARAM event;
    DEV_BROADCAST_DEVICEINTERFACE_W *broadcast;
    int reached;
};

static BOOL CALLBACK notify(HWND window, LPARAM context)
{
    struct Notice *notice = (struct Notice *)context;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() || !IsWindowVisible(window))
        return TRUE;
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, WM_DEVICECHANGE, notice->event, (LPARAM)notice->broadcast,
            SMTO_ABORTIFHUNG, 10000, &answer))
        ++notice->reached;
    return TRUE;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 || (wcscmp(argv[1], L"arrive") != 0 && wcscmp(argv[1], L"remove") != 0)) {
        fputs("usage: devchange arrive|remove NAME\n", stderr);
        return 2;
    }
    const size_t length = wcslen(argv[2]);
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)
        + (length + 1) * sizeof(wchar_t);
    DEV_BROADCAST_DEVICEINTERFACE_W *broadcast = calloc(1, size);
    if (!broadcast)
        return 1;
    broadcast->dbcc_size = (DWORD)size;
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    /* {A5DCBF10-6530-11D2-901F-00C04FB951ED}: USB devices */
    const GUID usbDevice
        = { 0xA5DCBF10, 0x6530, 0x11D2, { 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED } };
    broadcast->dbcc_classguid = usbDevice;
    wmemcpy(broadcast->dbcc_name, argv[2], length + 1);

    struct Notice notice
        = { wcscmp(argv[1], L"arrive") == 0 ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
              broadcast, 0 };
    EnumWindows(notify, (LPARAM)&notice);
    free(broadcast);
    printf("%d\n", notice.reached);
    return notice.reached > 0 ? 0 : 1;
}
