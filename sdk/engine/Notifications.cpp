// The flat interface's listeners: registration, notification filters, waiting
// and waking, over the Sdk's listener table and notification list.

#include "FlatFunction.h"
#include "LastError.h"
#include "NotificationList.h"
#include "NotificationQueue.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace Q7::TavrinC
{

namespace
{

using namespace Q7::Tavrin;

// The Sdk mutex, held as a library lock: the application's code (the log)
// that the thread would call meanwhile runs once it is released.
class SdkLock
{
public:
    explicit SdkLock(std::recursive_mutex& mutex) : m_lock(mutex) {}

private:
    LibraryLockScope m_scope; // ends after the mutex was released
    std::lock_guard<std::recursive_mutex> m_lock;
};

// The listeners that have a thread inside WaitForNotification. Its lock is held
// alone and never while waiting. Never destroyed: the close at process exit
// wakes waiters that leave their place here while static destructors run.
struct WaiterSet
{
    std::mutex mutex; // guards ids
    // Unordered, and never shrunk: taking and giving back a place allocates
    // nothing once the vector has grown to the number of waiting threads.
    std::vector<std::uint32_t> ids;
};

WaiterSet& Waiters()
{
    static WaiterSet& waiters = *new WaiterSet;
    return waiters;
}

// A listener's place in the waiter set, held for the whole of one
// WaitForNotification: every way out of the function gives it back.
class WaiterSlot
{
public:
    // Throws std::bad_alloc only.
    explicit WaiterSlot(std::uint32_t listenerId) : m_listenerId(listenerId)
    {
        WaiterSet& waiters = Waiters();
        const std::lock_guard<std::mutex> lock(waiters.mutex);
        if (std::find(waiters.ids.begin(), waiters.ids.end(), listenerId) == waiters.ids.end())
        {
            waiters.ids.push_back(listenerId);
            m_taken = true;
        }
    }
    ~WaiterSlot()
    {
        if (m_taken)
        {
            WaiterSet& waiters = Waiters();
            const std::lock_guard<std::mutex> lock(waiters.mutex);
            const auto place = std::find(waiters.ids.begin(), waiters.ids.end(), m_listenerId);
            *place = waiters.ids.back();
            waiters.ids.pop_back();
        }
    }
    WaiterSlot(const WaiterSlot&) = delete;
    WaiterSlot& operator=(const WaiterSlot&) = delete;

    // False when another thread already waits on the listener.
    bool Taken() const noexcept { return m_taken; }

private:
    std::uint32_t m_listenerId;
    bool m_taken = false;
};

// The listener's queue, or null for an unknown listener. Hold the Sdk mutex.
std::shared_ptr<NotificationQueue> FindQueue(Sdk& sdk, std::uint32_t listenerId)
{
    const auto entry = sdk.Listeners().find(listenerId);
    return entry != sdk.Listeners().end() ? entry->second : nullptr;
}

// Wakes a thread waiting on the listener and removes its registrations. Hold
// the Sdk mutex. Never throws.
ErrorCode DisableAllNotificationsUnsafe(Sdk& sdk, std::uint32_t listenerId) noexcept
{
    if (const std::shared_ptr<NotificationQueue> queue = FindQueue(sdk, listenerId))
    {
        queue->WakeUp();
    }
    sdk.Notifications().RemoveListener(listenerId);
    return SetLastErrorInfo(Success, "", "Q7::TavrinC::DisableAllNotificationsUnsafe");
}

// Runs body (Sdk&) under the Sdk mutex for the flat function named source and
// gives its code. Without an instance re-reports the recorded reason; an
// exception is recorded as -1.
template <typename Body>
ErrorCode WithLockedSdk(const char* source, Body&& body)
{
    return RecordExceptions(source,
                            [&]
                            {
                                Sdk* sdk = Sdk::GetInstance(false);
                                if (sdk == nullptr)
                                {
                                    return ReportCurrentError(source);
                                }
                                const SdkLock lock(sdk->Mutex());
                                return body(*sdk);
                            });
}

// The queue of a registered listener. Otherwise null, with the failure recorded
// under source in failure: for an unknown listener a level-2 log line and -45
// with unknownListener; for an entry without queue -42. Hold the Sdk mutex.
std::shared_ptr<NotificationQueue> RegisteredQueue(Sdk& sdk, std::uint32_t listenerId, const char* source,
                                                   const char* unknownListener, ErrorCode& failure)
{
    const auto entry = sdk.Listeners().find(listenerId);
    if (entry == sdk.Listeners().end())
    {
        SdkLog(2, "C_Notifications: No event-queue registered for listenerId=%u. Illegal listener.\n",
               listenerId);
        failure = SetLastErrorInfo(ListenerNotInitialized, unknownListener, source);
        return nullptr;
    }
    if (entry->second == nullptr)
    {
        failure = SetLastErrorInfo(
            InternalStateError, "The listener internals seems to be invalid, listener queue is null", source);
    }
    return entry->second;
}

// EnableCatchAllNotifications and DisableCatchAllNotifications.
ErrorCode SetCatchAll(bool enable, std::uint32_t listenerId, const char* source, const char* unknownListener)
{
    return WithLockedSdk(source,
                         [&](Sdk& sdk)
                         {
                             ErrorCode failure = Success;
                             std::shared_ptr<NotificationQueue> queue =
                                 RegisteredQueue(sdk, listenerId, source, unknownListener, failure);
                             if (queue == nullptr)
                             {
                                 return failure;
                             }
                             sdk.Notifications().SetCatchAll(enable, listenerId, std::move(queue));
                             return Success;
                         });
}

} // namespace

ErrorCode RegisterListener(std::uint32_t& listenerId)
{
    static constexpr const char* kSource = "Q7::TavrinC::RegisterListener";
    return RecordExceptions(
        kSource,
        [&]
        {
            // Looked up without recording a failure: without an instance this
            // call creates one and succeeds.
            Sdk* sdk = Sdk::FindInstance();
            if (sdk == nullptr)
            {
                Sdk::CreateInstance();
                sdk = Sdk::GetInstance(false);
            }
            if (sdk == nullptr)
            {
                return ReportCurrentError(kSource);
            }
            auto queue = std::make_shared<NotificationQueue>();
            {
                const SdkLock lock(sdk->Mutex());
                // Checked under the Sdk mutex: a close that began after the
                // instance was found has either taken the table already (and a
                // queue entered now would never be woken) or takes it after
                // this entry and closes it.
                if (!Sdk::IsClosing())
                {
                    listenerId = sdk->TakeListenerId();
                    if (!sdk->Listeners().try_emplace(listenerId, std::move(queue)).second)
                    {
                        SdkLog(2,
                               "C_Notifications: An event-queue for the given listenerId=%u already "
                               "exists\n",
                               listenerId);
                        return SetLastErrorInfo(InternalStateError, "Listener queue already present",
                                                kSource);
                    }
                    return SetLastErrorInfo(Success, "", kSource);
                }
            }
            Sdk::GetInstance(false); // records why there is no instance any more
            return ReportCurrentError(kSource);
        });
}

ErrorCode DeregisterListener(std::uint32_t listenerId)
{
    static constexpr const char* kSource = "Q7::TavrinC::DeregisterListener";
    return WithLockedSdk(
        kSource,
        [&](Sdk& sdk)
        {
            Sdk::ListenerTable& listeners = sdk.Listeners();
            const auto entry = listeners.find(listenerId);
            if (entry == listeners.end())
            {
                SdkLog(2, "C_Notifications: No event-queue found for the given listenerId=%u\n", listenerId);
                return SetLastErrorInfo(ListenerNotInitialized, "", kSource);
            }
            const std::size_t queuesBefore = listeners.size();
            const std::size_t registrationsBefore = sdk.Notifications().Size();
            DisableAllNotificationsUnsafe(sdk, listenerId);
            std::shared_ptr<NotificationQueue> queue = std::move(entry->second);
            listeners.erase(entry);
            // Closed, not only woken: a thread that found the queue a moment ago
            // and waits only now returns at once. It keeps the queue alive
            // meanwhile; the last holder frees it with its leftover events.
            if (queue != nullptr)
            {
                queue->Close();
            }
            queue.reset();
            SdkLog(5, "DeregisterListener(): Size change: EventQueues: %u => %u, NotifList: %u => %u\n",
                   static_cast<unsigned int>(queuesBefore), static_cast<unsigned int>(listeners.size()),
                   static_cast<unsigned int>(registrationsBefore),
                   static_cast<unsigned int>(sdk.Notifications().Size()));
            return SetLastErrorInfo(Success, "", kSource);
        });
}

ErrorCode EnableNotification(std::uint32_t listenerId, std::shared_ptr<const INotificationEvent>&& filter)
{
    static constexpr const char* kSource = "Q7::TavrinC::EnableNotification";
    // What the checks need of the filter, read before the Sdk mutex: the
    // filter may be the application's own event, whose members are its code
    // (what they throw is recorded as -1).
    struct
    {
        bool hasCamera = false;
        std::int32_t cameraId = 0;
        bool property = false;
        std::uint32_t id = 0;
    } facts;
    const ErrorCode read = RecordExceptions(kSource,
                                            [&]
                                            {
                                                if (filter == nullptr)
                                                {
                                                    return Success;
                                                }
                                                facts.hasCamera = filter->HasCamera();
                                                facts.cameraId = filter->CameraId();
                                                facts.property = filter->IsPropertyEvent();
                                                facts.id = filter->Id();
                                                return Success;
                                            });
    if (read != Success)
    {
        return read;
    }
    return WithLockedSdk(
        kSource,
        [&](Sdk& sdk)
        {
            if (filter == nullptr)
            {
                return SetLastErrorInfo(GeneralError, "The notification filter is empty", kSource);
            }
            if (facts.hasCamera)
            {
                bool open = false;
                if (const ErrorCode result = IsCameraOpen(facts.cameraId, open); result != Success)
                {
                    return result;
                }
                if (!open)
                {
                    return SetLastErrorInfo(CameraNotOpen,
                                            "You cannot enable notification on a closed camera", kSource);
                }
            }
            ErrorCode failure = Success;
            std::shared_ptr<NotificationQueue> queue =
                RegisteredQueue(sdk, listenerId, kSource,
                                "Cannot enable notification on a not-initialized listener", failure);
            if (queue == nullptr)
            {
                return failure;
            }
            if (facts.property)
            {
                bool has = false;
                if (const ErrorCode result = HasProperty(facts.cameraId, facts.id, has); result != Success)
                {
                    return result;
                }
                if (!has)
                {
                    return SetLastErrorInfo(PropertyNotFound,
                                            "You cannot enable notification for non-existing property id",
                                            kSource);
                }
            }
            if (!sdk.Notifications().Add(listenerId, std::move(queue), std::move(filter)))
            {
                SdkLog(2, "C_Notifications: NotificationList claims to have this notification registered "
                          "already\n");
                return SetLastErrorInfo(NotificationAlreadyExists,
                                        "The same notification cannot be enabled more than once", kSource);
            }
            // Nothing recorded: the last error keeps what the checks left.
            return Success;
        });
}

ErrorCode DisableNotification(std::uint32_t listenerId, std::shared_ptr<const INotificationEvent>&& filter)
{
    static constexpr const char* kSource = "Q7::TavrinC::DisableNotification";
    // Without the Sdk mutex: the comparisons with the registered filters run
    // the application's code (the list has its own lock).
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        // A null filter matches nothing, and has nothing to log.
                        if (filter == nullptr || !sdk.Notifications().Remove(listenerId, *filter))
                        {
                            SdkLog(2, "C_Notifications: NotificationList does not have the requested "
                                      "notification registered\n");
                            return SetLastErrorInfo(NotificationNotEnabled, "", kSource);
                        }
                        return SetLastErrorInfo(Success, "", kSource);
                    });
}

ErrorCode EnableCatchAllNotifications(std::uint32_t listenerId)
{
    return SetCatchAll(true, listenerId, "Q7::TavrinC::EnableCatchAllNotifications",
                       "Cannot enable 'catch all' notification on a not-initialized listener");
}

ErrorCode DisableCatchAllNotifications(std::uint32_t listenerId)
{
    return SetCatchAll(false, listenerId, "Q7::TavrinC::DisableCatchAllNotifications",
                       "Cannot disable 'catch all' notification on a not-initialized listener");
}

ErrorCode DisableAllNotifications(std::uint32_t listenerId)
{
    return WithLockedSdk("Q7::TavrinC::DisableAllNotifications",
                         [&](Sdk& sdk) { return DisableAllNotificationsUnsafe(sdk, listenerId); });
}

std::shared_ptr<const INotificationEvent> WaitForNotification(std::uint32_t listenerId, ErrorCode& code,
                                                              std::uint32_t timeoutMs)
{
    static constexpr const char* kSource = "Q7::TavrinC::WaitForNotification";
    std::shared_ptr<const INotificationEvent> event;
    code = RecordExceptions(
        kSource,
        [&]
        {
            Sdk* sdk = Sdk::GetInstance(false);
            if (sdk == nullptr)
            {
                return SetLastErrorInfo(SdkNotOpen, "", kSource);
            }
            const WaiterSlot slot(listenerId);
            if (!slot.Taken())
            {
                return SetLastErrorInfo(
                    AnotherThreadPending,
                    "Another thread is already waiting for notifications on this listener", kSource);
            }
            std::shared_ptr<NotificationQueue> queue;
            {
                const SdkLock lock(sdk->Mutex());
                queue = FindQueue(*sdk, listenerId);
            }
            if (queue == nullptr)
            {
                // While closing the table empties: that is the SDK going, not a
                // listener that never was.
                return SetLastErrorInfo(Sdk::IsClosing() ? SdkNotOpen : ListenerNotFound, "", kSource);
            }
            // No SDK lock is held while waiting.
            event = queue->WaitForNotification(timeoutMs);
            if (event != nullptr)
            {
                return SetLastErrorInfo(Success, "", kSource);
            }
            return SetLastErrorInfo(Sdk::IsClosing() ? SdkNotOpen : NotificationTimeout, "", kSource);
        });
    return code == Success ? event : nullptr;
}

ErrorCode WakeUpWaitingThread(std::uint32_t listenerId)
{
    static constexpr const char* kSource = "Q7::TavrinC::WakeUpWaitingThread";
    return WithLockedSdk(kSource,
                         [&](Sdk& sdk)
                         {
                             if (const std::shared_ptr<NotificationQueue> queue = FindQueue(sdk, listenerId))
                             {
                                 queue->WakeUp();
                             }
                             return SetLastErrorInfo(Success, "", kSource);
                         });
}

} // namespace Q7::TavrinC
