#pragma once
// The process-wide SDK instance behind the flat interface: created once by
// OpenSdk, found by every flat function, closed once by CloseSdk and never
// created again in the process.

#include "NotificationList.h"
#include "NotificationQueue.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/ObjectFactory.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace Q7::TavrinC
{
class KpxLibTransport;
} // namespace Q7::TavrinC

/// The SDK instance. Polymorphic with one virtual operation, its destructor.
/// Lives from CreateInstance until the process ends: CloseSdk makes it
/// unreachable but does not delete it, so a thread that obtained it before the
/// close still holds a valid object.
class Sdk
{
public:
    virtual ~Sdk();

    Sdk(const Sdk&) = delete;
    Sdk& operator=(const Sdk&) = delete;

    /// Creates the instance unless one exists or the SDK is closing or closed
    /// (then logs level 2 "SDK is marked close. We reject creating a new
    /// instance\n"). True only when this call created it. Throws what the
    /// construction throws, leaving no instance. Thread-safe: one thread
    /// creates, others wait for it; GetInstance finds no instance until it is
    /// made.
    static bool CreateInstance();

    /// The instance, or null with the reason recorded as the calling thread's
    /// last error from "Sdk::GetInstance": after the close -3 "SDK not open
    /// (closed/deleted)" and a level-1 log line; while closing, unless
    /// allowClosing, -3 "SDK not open (closing)" and a level-2 line; before the
    /// first creation -3 "Sdk not open". Never throws. Thread-safe.
    static Sdk* GetInstance(bool allowClosing) noexcept;

    /// The open instance, or null (none yet, closing or closed) without
    /// recording anything: for a caller that creates the instance when there is
    /// none. Never throws. Thread-safe.
    static Sdk* FindInstance() noexcept;

    /// True once the SDK is closing or closed. Thread-safe.
    static bool IsClosing() noexcept;

    /// Sets the closing mark. True only for the one call that set it, whose
    /// thread becomes the closing thread: of several threads closing at once,
    /// the others must act as if there were no instance. Thread-safe.
    bool MarkClosing() noexcept;

    /// Blocks while another thread closes the SDK, until its close has ended
    /// (the destroyed mark). Returns at once when no close runs, when the
    /// calling thread is the closing one, and on a thread of the library (the
    /// close stops the library's threads: it would wait for itself). Never
    /// throws. Thread-safe.
    static void WaitForClose() noexcept;

    /// Sets the destroyed mark (releasing the threads in WaitForClose), then
    /// makes the instance unreachable (it stays allocated). Thread-safe.
    void MarkDestroyed() noexcept;

    /// Wakes every thread waiting for notifications and forgets every listener:
    /// each queue is closed, so a thread that found its queue but starts waiting
    /// only now returns at once as well, and its events are released.
    /// Registrations stay, routing to closed queues that drop what they get.
    /// Never throws. Called by the closing thread only, after MarkClosing.
    void RemoveAndWakeAllListeners() noexcept;

    /// De-initialises the camera bridge: closes every camera and stops its
    /// helper thread. Never throws. Called by the closing thread only.
    void DeinitTransport() noexcept;

    /// Ends the registered object factory, if any (its Terminate), and forgets
    /// it. Never throws. Called by the closing thread only.
    void TerminateFactory() noexcept;

    /// Registers factory (not owned; null forgets it) without further checks.
    /// Thread-safe.
    void SetFactory(Q7::TavrinC::ObjectFactory* factory) noexcept { m_pFactory.store(factory); }
    /// The registered factory, or null. Thread-safe.
    Q7::TavrinC::ObjectFactory* Factory() const noexcept { return m_pFactory.load(); }
    /// The factory of the open instance (GetInstance with allowClosing false,
    /// recording as it does); null without instance or factory. Thread-safe.
    static Q7::TavrinC::ObjectFactory* CurrentFactory() noexcept;

    /// The Sdk mutex: recursive, because listener operations call each other
    /// while holding it.
    std::recursive_mutex& Mutex() noexcept { return m_mutex; }

    /// Listener id to queue. The queue is shared with the registrations that
    /// route to it and with a thread waiting on it.
    using ListenerTable = std::map<std::uint32_t, std::shared_ptr<NotificationQueue>>;

    /// The listener table. Hold Mutex() while using it.
    ListenerTable& Listeners() noexcept { return m_listeners; }
    /// The id the next listener gets; the counter advances by one. Hold Mutex().
    std::uint32_t TakeListenerId() noexcept { return m_nextListenerId++; }
    /// The registrations of listeners for events, where events are posted.
    /// Thread-safe (it has its own lock).
    Q7::TavrinC::NotificationList& Notifications() noexcept { return m_notifications; }

    /// The camera bridge, made by the constructor; lives as long as the
    /// instance. Thread-safe (see KpxLibTransport).
    Q7::TavrinC::KpxLibTransport& Transport() noexcept { return *m_pTransport; }

private:
    /// Makes the bridge and everything it starts. Throws what its construction
    /// throws.
    Sdk();

    /// Makes the camera bridge, the constructor's last step.
    void CreateTransport();

    std::recursive_mutex m_mutex;                                 // guards m_nextListenerId and m_listeners
    std::atomic<Q7::TavrinC::ObjectFactory*> m_pFactory{nullptr}; // written without a lock by SetFactory
    std::uint32_t m_nextListenerId = 0;                           // from 0, only grows: ids are never reused
    ListenerTable m_listeners;
    Q7::TavrinC::NotificationList m_notifications;

    // Created last in the constructor (CreateTransport), destroyed first.
    std::unique_ptr<Q7::TavrinC::KpxLibTransport> m_pTransport;
};
