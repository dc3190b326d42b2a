#pragma once

#include <QObject>

// Asked by the serial number reader, on its own thread, whether the robot's USB device is
// attached. The implementer guards what it reads.
class IZEVUsbInterface
{
public:
    virtual bool isUsbConnected() = 0;

protected:
    ~IZEVUsbInterface() = default;
};

Q_DECLARE_INTERFACE(IZEVUsbInterface, "IZEVUsbInterface")
