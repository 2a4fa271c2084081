#pragma once
// Device-list monitors: keep the list of devices that an enumerator finds for a
// filter, re-enumerate on request on a refresh thread of their own, compare
// the new result with the list held, and report each device that went away
// and each that appeared to one notify callback, the removals of a refresh
// before its arrivals.
//
// BaseMonitor is that machine over any moniker and filter type (the
// zero-configuration service monitor is one). The USB device monitor
// (Q7PlatformUsbEnum_Cmn.h) is the same machine with texts of its own and an
// event set after each completed enumeration; both share the
// Detail::MonitorMachine below.

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

namespace Q7::Platform::DeviceEnum
{

/// Lists the devices that match a filter.
template <typename M, typename F>
class EnumeratorInterface
{
public:
    /// Clears out, then appends one moniker per device found for filter.
    /// Raises whatever the implementation documents. Blocks.
    virtual void Enumerate(std::vector<M>& out, const std::vector<F>& filter) = 0;
    virtual ~EnumeratorInterface() = default;
};

/// A device-list monitor over monikers M and filter entries F.
template <typename M, typename F>
class MonitorInterface
{
public:
    /// Kind of change passed to the notify callback with the moniker.
    enum EnumNotify
    {
        kEnumNotify_DeviceAdded = 0,
        kEnumNotify_DeviceRemoved = 1,
    };

    /// The notify callback: the kind and the device; the moniker pointer is
    /// valid only during the call.
    using NotifyCallback = Q7::Universal::FunctionPointer2<void, EnumNotify, const M*>;

    virtual void SetNotifyCallback(const NotifyCallback& callback) = 0;
    virtual void SetFilter(const std::vector<F>& filter) = 0;
    virtual void GetFilter(std::vector<F>& filter) = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool IsRunning() = 0;
    virtual void GetDevices(std::vector<M>& devices) = 0;
    virtual void Enumerate(std::vector<M>& devices) = 0;
    virtual void Refresh() = 0;
    virtual ~MonitorInterface() = default;
};

namespace Detail
{

/// The texts that tell one monitor's log lines and thread from another's.
struct MonitorTexts
{
    const wchar_t* threadName;        ///< name of the refresh thread
    const wchar_t* callbackNotSet;    ///< context of the error of Start without a callback
    const wchar_t* slowStop;          ///< warning after each 10 s of waiting for the thread
    const wchar_t* callbackException; ///< context of a callback's exception in the log
};

/// The machine behind every device-list monitor: filter, callback, device list,
/// refresh thread, refresh request and enumerated event. Members are
/// thread-safe unless said otherwise; the owner forwards its public operations
/// to them. The owner must call Stop in its own destructor: the refresh thread
/// calls the owner's enumerator.
///
/// Locks (taken in this order when together): state lock, then the callback
/// lock or the device-list lock; filter lock, then device-list lock. The
/// callback lock is never held with the filter or device-list lock, so a
/// callback may call GetDevices or SetFilter.
template <typename M, typename F, typename NotifyKind>
class MonitorMachine
{
public:
    using Enumerator = EnumeratorInterface<M, F>;
    using Callback = Q7::Universal::FunctionPointer2<void, NotifyKind, const M*>;
    using SameDevice = bool (*)(const M&, const M&);
    using EnumeratorSource = std::function<Enumerator&()>;

    /// texts must outlive the machine (string literals). sameDevice decides
    /// whether two monikers name one device; enumerator answers the
    /// enumerator to use at each refresh.
    MonitorMachine(const MonitorTexts& texts, SameDevice sameDevice, EnumeratorSource enumerator)
        : m_texts(texts), m_sameDevice(sameDevice), m_enumerator(std::move(enumerator)),
          m_thread(texts.threadName)
    {
    }

    /// Stops the thread if the owner did not.
    ~MonitorMachine() { Stop(); }

    MonitorMachine(const MonitorMachine&) = delete;
    MonitorMachine& operator=(const MonitorMachine&) = delete;

    /// Stores a copy of the callback (none when it is null). Waits for a
    /// notification that is running on another thread.
    void SetNotifyCallback(const Callback& callback)
    {
        ScopedLock lock(m_callbackLock);
        if (&callback != &m_callback)
        {
            m_callback = callback;
        }
    }

    /// Copies the filter; does not refresh.
    void SetFilter(const std::vector<F>& filter)
    {
        ScopedLock lock(m_filterLock);
        if (&filter != &m_filter)
        {
            m_filter = filter;
        }
    }

    /// Copies the filter out.
    void GetFilter(std::vector<F>& filter)
    {
        ScopedLock lock(m_filterLock);
        if (&filter != &m_filter)
        {
            filter = m_filter;
        }
    }

    /// Starts the refresh thread with a refresh requested, so that its first
    /// refresh reports every present device as added; nothing when it runs.
    /// The device list is emptied and the enumerated event cleared first, so a
    /// wait on that event returns only after the new first enumeration. Raises
    /// ModuleError 0x650066 (logged) with the callback-not-set text when no
    /// callback is set, and what starting the thread raises; it is stopped then.
    /// From a callback (on the refresh thread) after a Stop there, it takes that
    /// Stop back and starts over on the same thread once the callback returned
    /// (the list emptied, every present device reported as added again); it
    /// does nothing while a Stop on another thread is under way (that Stop
    /// wins) or when no Stop is pending.
    void Start()
    {
        if (m_thread.IsCurrentThread())
        {
            StartFromCallback();
            return;
        }
        ScopedLock state(m_stateLock);
        if (IsRunning())
        {
            return;
        }
        try
        {
            Stop();
            RequireCallback();
            {
                ScopedLock lock(m_listLock);
                m_devices.clear();
            }
            m_enumeratedEvent.Reset();
            m_refreshRequest.Set();
            m_thread.Start(ThreadFunctor(this, &MonitorMachine::ThreadBody), nullptr, 0);
        }
        catch (...)
        {
            Stop();
            throw;
        }
    }

    /// Stops the refresh thread, waiting in 10-second rounds with the slow-stop
    /// warning after each; keeps the list and the callback. From a callback (on
    /// the refresh thread) it cannot wait for its own thread: it asks the
    /// thread to stop, the rest of the refresh under way is not reported, and
    /// the thread ends once the callback returned; IsRunning answers false from
    /// then on. Never takes the state lock there, so a callback's Stop never
    /// waits for a Stop on another thread (which waits for the callback).
    void Stop()
    {
        if (m_thread.IsCurrentThread())
        {
            ScopedLock request(m_requestLock);
            ++m_run;
            m_thread.GetStopEvent().Set();
            return;
        }
        ScopedLock state(m_stateLock);
        {
            ScopedLock request(m_requestLock);
            m_stopping = true;
            ++m_run;
        }
        while (!m_thread.Stop(kStopWaitMs))
        {
            Q7::Universal::LogWarning(L"%ls", m_texts.slowStop);
        }
        m_thread.Close();
        ScopedLock request(m_requestLock);
        m_stopping = false;
    }

    /// The refresh thread runs and no Stop is pending.
    bool IsRunning() const { return m_thread.IsRunning() && !m_thread.IsStopRequested(); }

    /// The caller is the refresh thread (a callback).
    bool IsRefreshThread() const { return m_thread.IsCurrentThread(); }

    /// Copies the device list out (in the order the devices were added).
    void GetDevices(std::vector<M>& devices)
    {
        WrapStdExceptions(
            [&]
            {
                ScopedLock lock(m_listLock);
                if (&devices != &m_devices)
                {
                    devices = m_devices;
                }
            });
    }

    /// Clears devices, refreshes (Refresh) and copies the list out. With the
    /// thread running this answers the list as it was before that refresh.
    void Enumerate(std::vector<M>& devices)
    {
        devices.clear();
        Refresh();
        GetDevices(devices);
    }

    /// Thread running: requests a refresh (which notifies). Not running:
    /// refreshes at once on the calling thread without notifying, raising what
    /// the enumerator raises.
    void Refresh()
    {
        if (m_thread.IsCurrentThread())
        {
            m_refreshRequest.Set();
            return;
        }
        ScopedLock state(m_stateLock);
        if (m_thread.IsRunning())
        {
            m_refreshRequest.Set();
        }
        else
        {
            RefreshWithoutNotifications();
        }
    }

    /// Requests a refresh of the running thread; collapses with requests not
    /// yet served.
    void RequestRefresh() { m_refreshRequest.Set(); }

    /// Set after every completed refresh; cleared by Start.
    EventStatus& GetEnumeratedEvent() { return m_enumeratedEvent; }

    /// Brings devices up to date with fresh. A device of devices that fresh
    /// does not name is moved to removed (in list order); a device of fresh
    /// that devices does not name (including the ones added here) is appended
    /// to devices and to added (in fresh order). A device present before and
    /// after keeps its old record. Reentrant.
    static void Compare(const std::vector<M>& fresh, std::vector<M>& devices, std::vector<M>& added,
                        std::vector<M>& removed, SameDevice sameDevice)
    {
        added.clear();
        removed.clear();
        const auto names = [sameDevice](const std::vector<M>& list, const M& device) {
            return std::any_of(list.begin(), list.end(),
                               [&](const M& other) { return sameDevice(other, device); });
        };
        for (auto it = devices.begin(); it != devices.end();)
        {
            if (names(fresh, *it))
            {
                ++it;
            }
            else
            {
                removed.push_back(std::move(*it));
                it = devices.erase(it);
            }
        }
        for (const M& device : fresh)
        {
            if (!names(devices, device))
            {
                added.push_back(device);
                devices.push_back(device);
            }
        }
    }

private:
    static constexpr std::uint32_t kStopWaitMs = 10000;

    // A std::exception escaping body becomes a StdExceptionError, reported as an
    // internal error and raised.
    template <typename Body>
    static void WrapStdExceptions(Body&& body)
    {
        try
        {
            body();
        }
        catch (const std::exception& exception)
        {
            Q7_THROW_INTERNAL_ERROR(Q7::Universal::StdExceptionError(exception), nullptr);
        }
    }

    // Raises ModuleError 0x650066 (logged) with the callback-not-set text when
    // no callback is set.
    void RequireCallback()
    {
        ScopedLock lock(m_callbackLock);
        if (m_callback.IsNull())
        {
            Q7::Universal::ThrowModuleError(
                Q7::Universal::ModuleError(Q7::Universal::kError_InvalidState, m_texts.callbackNotSet));
        }
    }

    // Start on the refresh thread (see Start).
    void StartFromCallback()
    {
        ScopedLock request(m_requestLock);
        if (m_stopping || !m_thread.GetStopEvent().IsSet())
        {
            return;
        }
        RequireCallback();
        {
            ScopedLock lock(m_listLock);
            m_devices.clear();
        }
        ++m_run;
        m_enumeratedEvent.Reset();
        m_refreshRequest.Set();
        m_thread.GetStopEvent().Reset();
    }

    void ThreadBody(Thread_Posix& thread, void* /*parameter*/)
    {
        thread.GetReadyEvent().Set();
        while (!thread.IsStopRequested())
        {
            uint32_t index = kNoSignalledIndex;
            WaitForAnyOf(&index, 2, &thread.GetStopEvent(), &m_refreshRequest);
            if (index != 1)
            {
                return;
            }
            m_refreshRequest.Reset();
            try
            {
                RefreshWithNotifications();
            }
            catch (const Q7::Universal::UniversalError&)
            {
                // Logged where it was raised; the list keeps its last state.
            }
            catch (const std::exception&)
            {
            }
        }
    }

    // A Start or Stop from a callback (or a Stop on another thread) overtakes
    // the refresh under way: it reports nothing more and does not count as
    // completed (a restart clears the enumerated event for its own first
    // refresh).
    void RefreshWithNotifications()
    {
        const std::uint64_t run = m_run.load();
        bool overtaken = false;
        WrapStdExceptions(
            [&]
            {
                std::vector<M> fresh;
                std::vector<M> added;
                std::vector<M> removed;
                {
                    ScopedLock filterLock(m_filterLock);
                    ScopedLock listLock(m_listLock);
                    m_enumerator().Enumerate(fresh, m_filter);
                    Compare(fresh, m_devices, added, removed, m_sameDevice);
                }
                const auto notifyAll = [&](const std::vector<M>& devices, NotifyKind kind)
                {
                    for (const M& device : devices)
                    {
                        overtaken = overtaken || m_run.load() != run;
                        if (overtaken)
                        {
                            return;
                        }
                        NotifyOne(kind, device);
                    }
                };
                notifyAll(removed, static_cast<NotifyKind>(1));
                notifyAll(added, static_cast<NotifyKind>(0));
            });
        if (!overtaken && m_run.load() == run)
        {
            m_enumeratedEvent.Set();
        }
    }

    void RefreshWithoutNotifications()
    {
        WrapStdExceptions(
            [&]
            {
                ScopedLock filterLock(m_filterLock);
                ScopedLock listLock(m_listLock);
                m_devices.clear();
                m_enumerator().Enumerate(m_devices, m_filter);
            });
        m_enumeratedEvent.Set();
    }

    // Calls the callback under the callback lock; its exceptions are logged.
    void NotifyOne(NotifyKind kind, const M& device)
    {
        ScopedLock lock(m_callbackLock);
        if (m_callback.IsNull())
        {
            return;
        }
        try
        {
            m_callback(kind, &device);
        }
        catch (const Q7::Universal::UniversalError&)
        {
            LogCallbackException();
        }
        catch (const std::exception&)
        {
            LogCallbackException();
        }
    }

    void LogCallbackException()
    {
        Q7::Universal::LogError(
            Q7::Universal::ModuleError(Q7::Universal::kError_UnexpectedException, m_texts.callbackException));
    }

    const MonitorTexts& m_texts;
    const SameDevice m_sameDevice;
    const EnumeratorSource m_enumerator;

    // Serialises Start, Stop and Refresh of other threads than the refresh
    // thread, which never takes it: a Stop holds it while it waits for the
    // refresh thread, whose callbacks may call Start and Stop.
    Mutex_Posix m_stateLock;
    Mutex_Posix m_requestLock; // guards m_stopping and the stop event's state against callbacks; never held
                               // while waiting
    bool m_stopping = false;   // a Stop on another thread than the refresh thread is under way
    std::atomic<std::uint64_t> m_run{0}; // counts Starts and Stops that overtake a refresh under way
    Mutex_Posix m_filterLock;            // guards m_filter
    std::vector<F> m_filter;
    Mutex_Posix m_callbackLock; // guards m_callback; held while it runs
    Callback m_callback;        // empty when none
    Mutex_Posix m_listLock;     // guards m_devices
    std::vector<M> m_devices;   // in the order the devices were added
    Thread_Posix m_thread;
    EventCondition_Posix m_refreshRequest{false};
    EventCondition_Posix m_enumeratedEvent{false};
};

} // namespace Detail

/// The device-list monitor over monikers M (compared with operator==) and
/// filter entries F, with the refresh thread "Device refresh". A derived class
/// supplies the enumerator (GetEnumerator) and must call Stop in its own
/// destructor. Thread-safe.
template <typename M, typename F>
class BaseMonitor : public MonitorInterface<M, F>
{
public:
    using typename MonitorInterface<M, F>::EnumNotify;
    using typename MonitorInterface<M, F>::NotifyCallback;

    BaseMonitor()
        : m_machine(kTexts, &SameDevice, [this]() -> EnumeratorInterface<M, F>& { return GetEnumerator(); })
    {
    }

    ~BaseMonitor() override { m_machine.Stop(); }

    BaseMonitor(const BaseMonitor&) = delete;
    BaseMonitor& operator=(const BaseMonitor&) = delete;

    /// Stores a clone of the callback (none for a null one); waits for a
    /// notification running on another thread.
    void SetNotifyCallback(const NotifyCallback& callback) override { m_machine.SetNotifyCallback(callback); }
    /// Copies the filter; does not refresh.
    void SetFilter(const std::vector<F>& filter) override { m_machine.SetFilter(filter); }
    /// Copies the filter out.
    void GetFilter(std::vector<F>& filter) override { m_machine.GetFilter(filter); }
    /// Empties the list and starts the refresh thread, whose first refresh
    /// reports every present device as added; nothing when it runs. Raises
    /// ModuleError 0x650066 (logged) "Device monitor: notify callback not set."
    /// without a callback. Blocks briefly.
    void Start() override { m_machine.Start(); }
    /// Stops the refresh thread (warning "Device refresh thread taking an
    /// unexpectedly long time to stop." after each 10 s); keeps the list and the
    /// callback. Blocks.
    void Stop() override { m_machine.Stop(); }
    /// The refresh thread runs.
    bool IsRunning() override { return m_machine.IsRunning(); }
    /// Copies the device list out, in the order the devices were added.
    void GetDevices(std::vector<M>& devices) override { m_machine.GetDevices(devices); }
    /// Refresh, then GetDevices (running: the list before that refresh).
    void Enumerate(std::vector<M>& devices) override { m_machine.Enumerate(devices); }
    /// Running: requests a refresh that notifies. Stopped: refreshes at once
    /// without notifying, raising what the enumerator raises. Blocks then.
    void Refresh() override { m_machine.Refresh(); }

    /// The enumerator the refreshes use.
    virtual EnumeratorInterface<M, F>& GetEnumerator() = 0;

private:
    static bool SameDevice(const M& a, const M& b) { return a == b; }

    static constexpr Detail::MonitorTexts kTexts{
        L"Device refresh", L"Device monitor: notify callback not set.",
        L"Device refresh thread taking an unexpectedly long time to stop.",
        L"Device monitor: Ignoring exception thrown from notify callback."};

    Detail::MonitorMachine<M, F, EnumNotify> m_machine;
};

} // namespace Q7::Platform::DeviceEnum
