"""Lists the USB devices that libusb enumerates, one "vvvv:pppp" a line (run it under umockdev-run)."""

import ctypes
import sys


class DeviceDescriptor(ctypes.Structure):
    _fields_ = [("bLength", ctypes.c_uint8), ("bDescriptorType", ctypes.c_uint8), ("bcdUSB", ctypes.c_uint16),
                ("bDeviceClass", ctypes.c_uint8), ("bDeviceSubClass", ctypes.c_uint8),
                ("bDeviceProtocol", ctypes.c_uint8), ("bMaxPacketSize0", ctypes.c_uint8),
                ("idVendor", ctypes.c_uint16), ("idProduct", ctypes.c_uint16), ("bcdDevice", ctypes.c_uint16),
                ("iManufacturer", ctypes.c_uint8), ("iProduct", ctypes.c_uint8),
                ("iSerialNumber", ctypes.c_uint8), ("bNumConfigurations", ctypes.c_uint8)]


def main():
    lib = ctypes.CDLL("libusb-1.0.so.0")
    lib.libusb_get_device_list.restype = ctypes.c_ssize_t
    ctx = ctypes.c_void_p()
    if lib.libusb_init(ctypes.byref(ctx)) != 0:
        print("libusb_init failed", file=sys.stderr)
        return 1
    devices = ctypes.POINTER(ctypes.c_void_p)()
    n = lib.libusb_get_device_list(ctx, ctypes.byref(devices))
    for i in range(max(n, 0)):
        d = DeviceDescriptor()
        if lib.libusb_get_device_descriptor(ctypes.c_void_p(devices[i]), ctypes.byref(d)) == 0:
            print("%04x:%04x" % (d.idVendor, d.idProduct))
    if n > 0:
        lib.libusb_free_device_list(devices, 1)
    lib.libusb_exit(ctx)
    return 0


if __name__ == "__main__":
    sys.exit(main())
