#pragma once
// Listener: the C++ interface's notification listener. One listener registered
// with the SDK's notification routing, with its own queue; enable the events it
// wants (by camera and type, by property, by SDK event, or all of them) and let
// one thread at a time wait for the next one.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>

#include <cstdint>
#include <memory>

namespace Q7::Tavrin
{

class Camera;
class PimplListener;

/// A registered listener. Every member that fails throws the exception of
/// ThrowOnErrorCode (Errors.h) for the flat code, with the calling thread's
/// last-error text (the code's standard text where that is empty). The members
/// taking a Camera filter on its id, read whether the camera is open or closed;
/// a Camera without a camera (default-constructed or moved from) makes them
/// throw CameraNotOpenExc before anything else.
///
/// Thread-safe: any thread may call any member; only one thread may wait at a
/// time. Events are delivered by the waiting thread's own call, never by a
/// callback on a library thread.
class TAVRIN_API Listener
{
public:
    /// Registers a listener without any notification enabled. Opens the SDK
    /// when it is not open yet.
    Listener();
    /// Registers a listener and enables the camera's events of type. On a
    /// failure (CameraNotOpenExc for a closed camera) nothing stays registered.
    Listener(const Camera& camera, const EventType& type);
    /// Registers a listener and enables the changes of the camera's property
    /// propertyId: its specification changes when specification is true, its
    /// value changes otherwise. On a failure (CameraNotOpenExc,
    /// PropertyNotFoundExc) nothing stays registered.
    Listener(const Camera& camera, unsigned int propertyId, bool specification);
    /// Deregisters the listener; a thread waiting on it returns the SdkWakeUp
    /// event. A failure (after the SDK closed) is logged, never thrown.
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    Listener(Listener&&) = delete;
    Listener& operator=(Listener&&) = delete;

    /// Enables the camera's events of type. CameraNotOpenExc for a closed
    /// camera; NotificationAlreadyExistsExc (-40) when the same camera and type
    /// are enabled on this listener already (enabled again after
    /// DisableNotification is a registration of its own).
    void EnableNotification(const Camera& camera, const EventType& type);
    /// Enables the value (specification false) or specification (true) changes
    /// of the camera's property. CameraNotOpenExc, PropertyNotFoundExc,
    /// NotificationAlreadyExistsExc when enabled already.
    void EnableNotification(const Camera& camera, unsigned int propertyId, bool specification);
    /// Enables the SDK events of type (cameras found, removed, opened, closed).
    /// NotificationAlreadyExistsExc when enabled already.
    void EnableNotification(const SdkEventType& type);

    /// Removes a registration made with the same arguments: SdkException -43
    /// "The notification is not enabled" when there is none.
    void DisableNotification(const Camera& camera, const EventType& type);
    void DisableNotification(const Camera& camera, unsigned int propertyId, bool specification);
    void DisableNotification(const SdkEventType& type);

    /// Queues every event for the listener (at most one such registration).
    void EnableCatchAllNotifications();
    /// Removes the catch-all registration.
    void DisableCatchAllNotifications();

    /// The next event; blocks for at most timeoutMs milliseconds (0: without
    /// limit). An empty pointer when none came in time. An SdkWakeUp event
    /// when woken (WakeUpWaitingThread, the SDK closing). Throws
    /// AnotherThreadPendingExc at once while another thread waits on this
    /// listener, SdkNotOpenExc after the SDK closed.
    std::shared_ptr<const INotificationEvent> WaitForNotification(unsigned int timeoutMs);

    /// Makes a thread waiting on this listener return the SdkWakeUp event. A
    /// wake-up while nobody waits is not remembered.
    void WakeUpWaitingThread();

private:
    std::shared_ptr<PimplListener> m_impl;
};

} // namespace Q7::Tavrin
