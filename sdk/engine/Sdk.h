#pragma once
// The process-wide SDK instance behind the flat interface: created once by
// OpenSdk, found by every flat function, closed once by CloseSdk and never
// created again in the process.

#include <TavrinCpp/Errors.h>

#include <mutex>

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
    /// construction throws, leaving no instance. Thread-safe.
    static bool CreateInstance();

    /// The instance, or null with the reason recorded as the calling thread's
    /// last error from "Sdk::GetInstance": after the close -3 "SDK not open
    /// (closed/deleted)" and a level-1 log line; while closing, unless
    /// allowClosing, -3 "SDK not open (closing)" and a level-2 line; before the
    /// first creation -3 "Sdk not open". Never throws. Thread-safe.
    static Sdk* GetInstance(bool allowClosing) noexcept;

    /// True once the SDK is closing or closed. Thread-safe.
    static bool IsClosing() noexcept;

    /// Sets the closing mark. True only for the one call that set it: of several
    /// threads closing at once, the others must act as if there were no
    /// instance. Thread-safe.
    bool MarkClosing() noexcept;

    /// Sets the destroyed mark, then makes the instance unreachable (it stays
    /// allocated). Thread-safe.
    void MarkDestroyed() noexcept;

    /// Wakes every thread waiting for notifications and forgets every listener.
    /// Never throws. Called by the closing thread only.
    void RemoveAndWakeAllListeners() noexcept;

    /// De-initialises the camera bridge: closes every camera and stops its
    /// helper thread. Never throws. Called by the closing thread only.
    void DeinitTransport() noexcept;

    /// Ends the registered object factory, if any. Never throws. Called by the
    /// closing thread only.
    void TerminateFactory() noexcept;

    /// The Sdk mutex: recursive, because listener operations call each other
    /// while holding it.
    std::recursive_mutex& Mutex() noexcept { return m_mutex; }

private:
    Sdk();

    std::recursive_mutex m_mutex; // guards the listener table

    // Added beside the mutex by the notification routing: the next listener id,
    // the listener table and the notification list; by the object factories: the
    // factory pointer; by the camera bridge, created last in the constructor
    // (CreateTransport): the bridge.
};
