#include "Sdk.h"

#include "KpxLibTransport.h"
#include "LastError.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/TavrinC.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace
{

using namespace Q7::Tavrin;
using Q7::TavrinC::KpxLibTransport;
using Q7::TavrinC::LibraryLockScope;
using Q7::TavrinC::ReportCurrentError;
using Q7::TavrinC::SdkLog;
using Q7::TavrinC::SetLastErrorInfo;

// Process-wide state beside the instance, constant-initialised at load and
// trivially destructible, so that it stays usable while static destructors run
// at exit. The marks are set once and never cleared.
constinit std::mutex g_creationMutex;       // held by the one thread that creates the instance
constinit std::mutex g_instanceMutex;       // guards g_pInstance and g_pClosedInstance
constinit Sdk* g_pInstance = nullptr;       // null before the first creation and after the close
constinit Sdk* g_pClosedInstance = nullptr; // the closed instance, kept for threads that still hold it
constinit std::atomic<bool> g_closing{false};
constinit std::atomic<bool> g_destroyed{false};
constinit thread_local bool t_closingThread = false; // this thread set g_closing

// Signalled when the destroyed mark is set, for the threads that wait for a
// close that another thread runs. Never destroyed: the close at process exit
// may meet such a thread while static destructors run.
struct CloseCompletion
{
    std::mutex mutex; // orders g_destroyed's setting with the waits
    std::condition_variable done;
};

CloseCompletion& Completion()
{
    static CloseCompletion& completion = *new CloseCompletion;
    return completion;
}

} // namespace

Sdk::Sdk()
{
    CreateTransport();
}

void Sdk::CreateTransport()
{
    m_pTransport = std::make_unique<Q7::TavrinC::KpxLibTransport>();
}

Sdk::~Sdk()
{
    MarkDestroyed();
}

bool Sdk::CreateInstance()
{
    bool refused = false;
    {
        // The application's code (the log) waits until the creation lock is
        // released: a thread that waits for it may be what the log waits for.
        const LibraryLockScope scope;
        const std::lock_guard<std::mutex> creation(g_creationMutex);
        {
            const std::lock_guard<std::mutex> lock(g_instanceMutex);
            // Checked under the lock: MarkDestroyed clears the pointer under it
            // after the marks are set, so no instance is made after a close (a
            // close needs an instance, so none begins while this one is made).
            if (IsClosing())
            {
                refused = true;
            }
            else if (g_pInstance != nullptr)
            {
                return false;
            }
        }
        if (!refused)
        {
            // Made without the instance lock: every flat function reads the
            // instance under it, and the bridge's threads start here.
            Sdk* const made = new Sdk();
            const std::lock_guard<std::mutex> lock(g_instanceMutex);
            g_pInstance = made;
            return true;
        }
    }
    SdkLog(2, "SDK is marked close. We reject creating a new instance\n");
    return false;
}

Sdk* Sdk::GetInstance(bool allowClosing) noexcept
{
    if (g_destroyed.load())
    {
        SetLastErrorInfo(SdkNotOpen, "SDK not open (closed/deleted)", "Sdk::GetInstance");
        SdkLog(1, "SDK cannot be used after destruction.\n");
        return nullptr;
    }
    if (!allowClosing && g_closing.load())
    {
        SetLastErrorInfo(SdkNotOpen, "SDK not open (closing)", "Sdk::GetInstance");
        SdkLog(2, "SDK is marked for closing. No SDK instance returned.\n");
        return nullptr;
    }
    Sdk* instance;
    {
        const std::lock_guard<std::mutex> lock(g_instanceMutex);
        instance = g_pInstance;
    }
    if (instance == nullptr)
    {
        // Before the first OpenSdk: a caller that re-reports the recorded error
        // must find this failure, not whatever the thread recorded last.
        SetLastErrorInfo(SdkNotOpen, "Sdk not open", "Sdk::GetInstance");
    }
    return instance;
}

Sdk* Sdk::FindInstance() noexcept
{
    if (IsClosing())
    {
        return nullptr;
    }
    const std::lock_guard<std::mutex> lock(g_instanceMutex);
    return g_pInstance;
}

bool Sdk::IsClosing() noexcept
{
    return g_closing.load() || g_destroyed.load();
}

bool Sdk::MarkClosing() noexcept
{
    if (g_closing.exchange(true))
    {
        return false;
    }
    t_closingThread = true;
    return true;
}

void Sdk::WaitForClose() noexcept
{
    // The closing thread itself may get here from inside the close (a
    // factory's Terminate that closes the SDK): it must not wait for itself.
    // Nor may a thread of the library (a callback): the close stops and joins
    // the library's threads, this one among them.
    if (!g_closing.load() || t_closingThread || KpxLibTransport::OnLibraryThread())
    {
        return;
    }
    CloseCompletion& completion = Completion();
    std::unique_lock<std::mutex> lock(completion.mutex);
    completion.done.wait(lock, [] { return g_destroyed.load(); });
}

void Sdk::MarkDestroyed() noexcept
{
    {
        CloseCompletion& completion = Completion();
        const std::lock_guard<std::mutex> lock(completion.mutex);
        g_destroyed.store(true);
        completion.done.notify_all();
    }
    const std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_pInstance == this)
    {
        g_pInstance = nullptr;
        g_pClosedInstance = this;
    }
    else if (g_pClosedInstance == this)
    {
        g_pClosedInstance = nullptr; // being destroyed
    }
}

void Sdk::RemoveAndWakeAllListeners() noexcept
{
    SdkLog(6, "Sdk::RemoveAndWakeAllListeners()...\n");
    ListenerTable removed;
    {
        // Taken under the Sdk mutex after the closing mark was set: a
        // registration that comes later sees the mark under the mutex and is
        // refused, so no open queue is left in the table.
        const LibraryLockScope scope;
        const std::lock_guard<std::recursive_mutex> lock(m_mutex);
        removed.swap(m_listeners);
    }
    // In ascending listener id, outside the Sdk mutex. Closing, not only
    // waking: a thread that took its queue from the table but has not begun to
    // wait must not block for ever. Closing also releases the queued events,
    // which nothing can take any more (registrations still route to the queue
    // and keep it alive).
    for (const auto& [listenerId, queue] : removed)
    {
        if (queue != nullptr)
        {
            queue->Close();
        }
    }
    SdkLog(6, "Sdk::RemoveAndWakeAllListeners() done!\n");
}

void Sdk::DeinitTransport() noexcept
{
    m_pTransport->Deinit();
}

void Sdk::TerminateFactory() noexcept
{
    // Forgotten before it ends, so no one reads a factory that is going away.
    if (Q7::TavrinC::ObjectFactory* factory = m_pFactory.exchange(nullptr))
    {
        try
        {
            factory->Terminate();
        }
        catch (...)
        {
            // An application's factory that throws is dropped; the close goes on.
        }
    }
}

Q7::TavrinC::ObjectFactory* Sdk::CurrentFactory() noexcept
{
    const Sdk* sdk = GetInstance(false);
    return sdk != nullptr ? sdk->Factory() : nullptr;
}

namespace Q7::TavrinC
{

ErrorCode OpenSdk()
{
    static constexpr const char* kSource = "Q7::TavrinC::OpenSdk";
    SdkLog(5, "Open SDK...\n");
    try
    {
        if (!Sdk::CreateInstance())
        {
            if (Sdk::IsClosing())
            {
                // Closed for good: report why no instance can be had.
                Sdk::GetInstance(false);
                return ReportCurrentError(kSource);
            }
            return SetLastErrorInfo(Success, "SDK is already open", kSource);
        }
    }
    catch (const std::exception& e)
    {
        return SetLastErrorInfo(GeneralError, e.what(), kSource);
    }
    catch (...)
    {
        return SetLastErrorInfo(GeneralError,
                                "Internal error in camera transport layer (See log for details).", kSource);
    }
    if (Sdk::GetInstance(false) != nullptr)
    {
        return SetLastErrorInfo(Success, "", kSource);
    }
    return SetLastErrorInfo(GeneralError, "SDK is created, but we fail to get access", kSource);
}

namespace
{

// The close's steps after the listeners: the bridge (every camera closes, its
// helper thread stops), the object factory, the destroyed mark.
void FinishClose(Sdk& sdk) noexcept
{
    SdkLog(5, "SDK::CloseSdk(): Deinitializing transport layer...\n");
    sdk.DeinitTransport();
    SdkLog(5, "SDK::CloseSdk(): Terminating object factory...\n");
    sdk.TerminateFactory();
    SdkLog(5, "SDK::CloseSdk(): Deleting SDK...\n");
    sdk.MarkDestroyed();
}

} // namespace

ErrorCode CloseSdk(bool reportIfNotOpen)
{
    static constexpr const char* kSource = "Q7::TavrinC::CloseSdk";
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk != nullptr && !sdk->MarkClosing())
    {
        // Another thread closes it: as if none was found (this records why).
        sdk = Sdk::GetInstance(false);
    }
    if (sdk == nullptr)
    {
        // Not before the other thread's close has ended: a caller (the close
        // at process exit among them) relies on listeners woken and the
        // bridge stopped once CloseSdk has returned. A thread of the library
        // returns at once (WaitForClose): that close waits for it.
        Sdk::WaitForClose();
        return reportIfNotOpen ? ReportCurrentError(kSource) : SetLastErrorInfo(Success, "", kSource);
    }
    SdkLog(5, "SDK::CloseSdk(): Waking and removing all listeners...\n");
    sdk->RemoveAndWakeAllListeners();
    if (KpxLibTransport::OnLibraryThread() &&
        sdk->Transport().RunOnHelperThread([sdk] { FinishClose(*sdk); }))
    {
        // On a thread of the library (a callback), which may be one of a
        // camera's: closing the cameras here would stop and free the thread
        // itself. The bridge's helper thread finishes the close; every flat
        // call fails with -3 from now on, and the close at process exit waits
        // for it.
        return SetLastErrorInfo(Success, "", kSource);
    }
    FinishClose(*sdk);
    return SetLastErrorInfo(Success, "", kSource);
}

bool IsSdkOpen()
{
    return Sdk::GetInstance(false) != nullptr;
}

} // namespace Q7::TavrinC
