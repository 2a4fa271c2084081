#include "Transport/KPXLinkLossNotifier.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <exception>

namespace Q7::KPX::Transport
{

using Q7::Platform::ScopedLock;
using Q7::Platform::Thread_Posix;

namespace
{

// Stop rounds of the notify thread.
constexpr std::uint32_t kThreadStopWaitMs = 10000;

} // namespace

LinkLossNotifier::LinkLossNotifier(const wchar_t* threadName) : m_thread(threadName) {}

LinkLossNotifier::~LinkLossNotifier()
{
    Stop();
}

void LinkLossNotifier::Start(Q7::Platform::EventStatus& disconnected)
{
    m_disconnected = &disconnected;
    m_thread.Start(Q7::Platform::ThreadFunctor(this, &LinkLossNotifier::Body), nullptr, 0);
}

void LinkLossNotifier::RequestStop()
{
    m_thread.GetStopEvent().Set();
}

void LinkLossNotifier::Stop()
{
    RequestStop();
    while (!m_thread.Stop(kThreadStopWaitMs))
    {
        Q7::Universal::LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.",
                                    m_thread.GetName());
    }
    m_thread.Close();
}

void LinkLossNotifier::SetCallback(const NotifyCallback& callback)
{
    ScopedLock lock(m_callbackLock);
    if (&callback == &m_callback)
    {
        return;
    }
    m_callback = callback; // an empty or unbound holder leaves it empty
}

void LinkLossNotifier::Body(Thread_Posix& thread, void* /*parameter*/)
{
    thread.GetReadyEvent().Set();
    if (thread.IsStopRequested())
    {
        return;
    }
    for (;;)
    {
        uint32_t index = Q7::Platform::kNoSignalledIndex;
        Q7::Platform::WaitForAnyOf(&index, 2, &thread.GetStopEvent(), m_disconnected);
        if (index == 0)
        {
            return;
        }
        if (index == 1)
        {
            break;
        }
        if (thread.IsStopRequested())
        {
            return;
        }
    }

    ScopedLock lock(m_callbackLock);
    // A device asks the thread to stop before it marks itself disconnected on
    // an ordinary close: a stop request seen here means the device is being
    // closed, not that the link was lost.
    if (thread.IsStopRequested() || m_callback.IsNull())
    {
        return;
    }
    try
    {
        m_callback();
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        Q7::Universal::LogError(error, L"%ls: ignoring exception thrown from notify callback.",
                                thread.GetName());
    }
    catch (const std::exception& exception)
    {
        Q7::Universal::LogError(Q7::Universal::StdExceptionError(exception),
                                L"%ls: ignoring exception thrown from notify callback.", thread.GetName());
    }
    // One open reports at most one link loss: the thread ends here.
}

} // namespace Q7::KPX::Transport
