#include "Q7UniversalErrorDispatcher.h"

#include "Q7UniversalLogMsg.h"

namespace Q7::Universal
{

ErrorDispatcher::ErrorDispatcher() = default;

ErrorDispatcher::~ErrorDispatcher() = default;

void ErrorDispatcher::SetErrorCallback(const ErrorCallback& callback)
{
    if (&callback == &m_callback)
        return;
    ErrorCallback copy(callback); // clones outside the lock
    ErrorCallback old;
    {
        Platform::ScopedLock lock(m_mutex);
        old = std::move(m_callback);
        m_callback = std::move(copy);
    }
}

void ErrorDispatcher::SetErrorCallback(const std::function<void(const UniversalError&)>& callback)
{
    std::function<void(const UniversalError&)> copy(callback);
    {
        Platform::ScopedLock lock(m_mutex);
        m_function.swap(copy);
    }
    // The old function is destroyed here, with the copy, outside the lock.
}

void ErrorDispatcher::DispatchError(const UniversalError& error)
{
    OnError(error);
}

void ErrorDispatcher::OnError(const UniversalError& error)
{
    bool failed = false;
    {
        Platform::ScopedLock lock(m_mutex);
        try
        {
            if (!m_callback.IsNull())
                m_callback(error);
            if (m_function)
                m_function(error);
        }
        catch (...)
        {
            failed = true;
        }
    }
    if (failed)
        LogError(ModuleError(kError_UnexpectedException), L"Ignoring exception thrown from error callback.");
}

void ErrorDispatcher::RunDispatchingErrors(const wchar_t* threadName, const std::function<void()>& body)
{
    try
    {
        body();
        return;
    }
    catch (const UniversalError& error)
    {
        DispatchError(error);
    }
    catch (const std::exception& exception)
    {
        DispatchError(StdExceptionError(exception));
    }
    LogError(ModuleError(kError_UnexpectedException), L"Unexpected exception in %ls", threadName);
}

} // namespace Q7::Universal
