#pragma once
// How the bridge's camera members call the camera: looked up, guarded, and
// with protocol errors and standard exceptions mapped to codes.

#include "KpxLibTransport.h"

#include "Q7UniversalError.h"

#include <exception>
#include <memory>

namespace Q7::TavrinC::Calls
{

using Q7::Tavrin::ErrorCode;

// Runs call, which returns a code, mapping what the camera throws: protocol
// errors with the two contexts, a standard exception as an internal error.
template <typename Call>
ErrorCode Guarded(const char* moduleContext, const char* internalContext, Call&& call)
{
    try
    {
        return call();
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        return KpxLibTransport::HandleModuleError(error, moduleContext);
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        return KpxLibTransport::HandleUniversalError(error, internalContext);
    }
    catch (const std::exception& error)
    {
        return KpxLibTransport::HandleUniversalError(Q7::Universal::StdExceptionError(error),
                                                     internalContext);
    }
}

// Looks the camera up and runs call(camera) guarded as above.
template <typename Call>
ErrorCode WithCamera(KpxLibTransport& bridge, int cameraId, const char* moduleContext,
                     const char* internalContext, Call&& call)
{
    std::shared_ptr<KpxLibTransport::Camera> camera;
    if (const ErrorCode found = bridge.GetCamera(cameraId, camera); found != Q7::Tavrin::Success)
    {
        return found;
    }
    return Guarded(moduleContext, internalContext, [&] { return call(*camera); });
}

// A request's answer: queued or refused (-1, no message).
inline ErrorCode Queued(bool queued)
{
    return queued ? Q7::Tavrin::Success : Q7::Tavrin::GeneralError;
}

} // namespace Q7::TavrinC::Calls
