/* The libusb DLL of the Windows program's tests: a USB bus read from "usb-devices.txt" beside this
 * DLL, one "vendor:product" line (hexadecimal) per attached device, read again at every scan.
 * What umockdev's testbed is to the Linux program. Exports exactly what the program imports.
 * Like libusb on Windows, it has no hotplug: arrival and removal come as window messages. */
#include <libusb.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

struct libusb_device
{
    uint16_t vendor;
    uint16_t product;
};

enum { kMaxDevices = 16 };

static const char kInThisDll = 0;

static int devicesFile(char *path, DWORD size)
{
    HMODULE self = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS
                | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            &kInThisDll, &self))
        return 0;
    DWORD length = GetModuleFileNameA(self, path, size);
    if (length == 0 || length >= size)
        return 0;
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/')
        --length;
    return snprintf(path + length, size - length, "usb-devices.txt") < (int)(size - length);
}

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    if (ctx)
        *ctx = NULL;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    (void)ctx;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    (void)ctx;
    libusb_device *devices = calloc(kMaxDevices, sizeof *devices);
    libusb_device **entries = calloc(kMaxDevices + 1, sizeof *entries);
    if (!devices || !entries) {
        free(devices);
        free(entries);
        return LIBUSB_ERROR_NO_MEM;
    }
    ssize_t count = 0;
    char path[MAX_PATH];
    FILE *file = devicesFile(path, sizeof path) ? fopen(path, "r") : NULL;
    unsigned vendor = 0;
    unsigned product = 0;
    while (file && count < kMaxDevices && fscanf(file, " %x:%x", &vendor, &product) == 2) {
        devices[count].vendor = (uint16_t)vendor;
        devices[count].product = (uint16_t)product;
        entries[count] = &devices[count];
        ++count;
    }
    if (file)
        fclose(file);
    /* One block holds every device: the list's first entry frees it (see below). */
    if (count == 0)
        free(devices);
    *list = entries;
    return count;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    (void)unref_devices;
    if (!list)
        return;
    free(list[0]);
    free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(
    libusb_device *dev, struct libusb_device_descriptor *desc)
{
    ZeroMemory(desc, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->idVendor = dev->vendor;
    desc->idProduct = dev->product;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY;
}

const char *LIBUSB_CALL libusb_error_name(int errcode)
{
    return errcode == LIBUSB_SUCCESS ? "LIBUSB_SUCCESS" : "LIBUSB_ERROR_OTHER";
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags,
    int vendor_id, int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
    void *user_data, libusb_hotplug_callback_handle *callback_handle)
{
    (void)ctx, (void)events, (void)flags, (void)vendor_id, (void)product_id, (void)dev_class;
    (void)cb_fn, (void)user_data, (void)callback_handle;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(
    libusb_context *ctx, libusb_hotplug_callback_handle callback_handle)
{
    (void)ctx, (void)callback_handle;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(
    libusb_context *ctx, struct timeval *tv, int *completed)
{
    (void)ctx, (void)completed;
    Sleep(tv ? (DWORD)(tv->tv_sec * 1000 + tv->tv_usec / 1000) : 0);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *ctx)
{
    (void)ctx;
}
