#include "usbeventthread.h"

#include <libusb.h>

UsbEventThread::UsbEventThread(libusb_context *context, QObject *parent)
    : QThread(parent)
    , m_context(context)
{
}

UsbEventThread::~UsbEventThread()
{
    stop();
}

void UsbEventThread::stop()
{
    m_stopRequested.store(1);
    libusb_interrupt_event_handler(m_context);
    wait();
}

void UsbEventThread::run()
{
    while (!m_stopRequested.load()) {
        // The timeout only bounds the wait should an interrupt be missed.
        timeval timeout { 0, 500 * 1000 };
        libusb_handle_events_timeout_completed(m_context, &timeout, nullptr);
    }
}
