#pragma once

#include <QThread>

#include <atomic>

struct libusb_context;

// Handles libusb events, and so runs the hotplug callbacks, until stop() is called.
class UsbEventThread : public QThread
{
    Q_OBJECT
public:
    explicit UsbEventThread(libusb_context *context, QObject *parent = nullptr);
    ~UsbEventThread() override;

    // Interrupts the event wait and joins the thread.
    void stop();

protected:
    void run() override;

private:
    libusb_context *m_context;
    std::atomic<int> m_stopRequested { 0 };
};
