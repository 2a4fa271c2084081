#pragma once
// The notify thread of a transport device ("UsbDevice notify", "TcpDevice
// notify") with its link-loss callback: one helper, so that both devices report
// a lost link the same way.

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Transport/KPXTransport.h"

namespace Q7::KPX::Transport
{

/// Runs a device's notify thread: it waits for its stop event or the device's
/// disconnected event and, unless asked to stop first, calls the link-loss
/// callback once and ends (one open reports at most one link loss). The stop
/// event is checked under the callback lock right before the call, so a device
/// that asks the thread to stop before it marks itself disconnected (an
/// ordinary close) is never reported as lost. Exceptions of the callback are
/// logged ("%ls: ignoring exception thrown from notify callback." with the
/// thread's name) and dropped. Thread-safe.
class LinkLossNotifier
{
public:
    /// A notifier whose thread has this name; nothing runs.
    explicit LinkLossNotifier(const wchar_t* threadName);
    /// Stops the thread.
    ~LinkLossNotifier();

    LinkLossNotifier(const LinkLossNotifier&) = delete;
    LinkLossNotifier& operator=(const LinkLossNotifier&) = delete;

    /// Starts the thread watching disconnected (which must outlive the run),
    /// without waiting for it. The previous run must have been stopped. Raises
    /// what starting a thread raises.
    void Start(Q7::Platform::EventStatus& disconnected);

    /// Asks the thread to stop: from now on it does not call the callback.
    /// Never blocks for long.
    void RequestStop();

    /// RequestStop, then waits for the thread in 10-second rounds, logging the
    /// error "Thread '%ls' taking an unexpectedly long time to stop." after each
    /// round that ends with it running, then lets go of it. Called from the
    /// callback itself, it lets its own thread go without waiting (the thread
    /// ends once the callback returned). Blocks until a running callback
    /// returned.
    void Stop();

    /// Installs a clone of the callback (an empty holder removes it); waits
    /// while the callback runs. Installing the held callback itself changes
    /// nothing.
    void SetCallback(const NotifyCallback& callback);

private:
    // Body of the notify thread.
    void Body(Q7::Platform::Thread_Posix& thread, void* parameter);

    Q7::Platform::Thread_Posix m_thread;
    Q7::Platform::EventStatus* m_disconnected = nullptr; // set by Start before the thread runs

    Q7::Platform::Mutex_Posix m_callbackLock; // guards m_callback, held while it runs
    NotifyCallback m_callback;                // empty when none
};

} // namespace Q7::KPX::Transport
