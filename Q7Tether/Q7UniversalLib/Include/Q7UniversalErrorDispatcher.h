#pragma once
// Forwarding of errors met on a library's own threads to the callbacks that the
// owner of the object installed.

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalFunPtr_Template.h"

#include <functional>

namespace Q7::Universal
{

/// The callback holder of an error dispatcher.
using ErrorCallback = FunctionPointer1<void, const UniversalError&>;

/// Base of the objects whose threads report errors to their owner (channels,
/// channel transports, agents, the KPX camera).
///
/// Any thread may dispatch. The callbacks run on the dispatching thread with the
/// dispatcher's mutex held: two errors of one dispatcher are delivered one after
/// the other, and a callback must not wait for another thread that dispatches on
/// the same object. Setting a callback waits until a running dispatch has
/// finished; after it returns, the old callback is no longer called.
class ErrorDispatcher
{
public:
    ErrorDispatcher();
    /// Owners stop their threads first: no dispatch may run during destruction.
    virtual ~ErrorDispatcher();

    ErrorDispatcher(const ErrorDispatcher&) = delete;
    ErrorDispatcher& operator=(const ErrorDispatcher&) = delete;

    /// Stores a clone of the callback (an empty or unbound holder clears it).
    /// Blocks while a dispatch runs. Thread-safe.
    virtual void SetErrorCallback(const ErrorCallback& callback);

    /// Stores a copy of the function (an empty function clears it). Blocks while a
    /// dispatch runs. Thread-safe.
    virtual void SetErrorCallback(const std::function<void(const UniversalError&)>& callback);

    /// Calls OnError through its virtual slot. Never raises. Thread-safe.
    virtual void DispatchError(const UniversalError& error);

    /// Calls the holder callback, then the function. An exception from either
    /// ends the delivery of this error and is logged ("Ignoring exception thrown
    /// from error callback.", ModuleError 0x6500CB); nothing is raised.
    /// Blocks while another dispatch of this object runs. Thread-safe.
    virtual void OnError(const UniversalError& error);

protected:
    /// Runs `body`, the work of the owner's thread named `threadName`. A
    /// UniversalError or std::exception that escapes it is dispatched
    /// (DispatchError) and logged as ModuleError 0x6500CB "Unexpected exception
    /// in <threadName>"; the call then returns normally. Anything else
    /// propagates. Called on the owner's own threads.
    void RunDispatchingErrors(const wchar_t* threadName, const std::function<void()>& body);

private:
    Platform::Mutex_Posix m_mutex;                         // guards m_callback and m_function
    ErrorCallback m_callback;                              // empty when none
    std::function<void(const UniversalError&)> m_function; // empty when none
};

} // namespace Q7::Universal
