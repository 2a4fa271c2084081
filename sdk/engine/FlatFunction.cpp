// The flat functions' failure without an SDK instance, and the translation of
// protocol errors that reach a flat function.

#include "FlatFunction.h"

#include "KpxLibTransport.h"
#include "SdkLog.h"

namespace Q7::TavrinC
{

ErrorCode FailWithoutSdk(NoSdk form, const char* source) noexcept
{
    switch (form)
    {
    case NoSdk::Report:
        return ReportCurrentError(source);
    case NoSdk::SdkNotOpen:
        return SetLastErrorInfo(Q7::Tavrin::SdkNotOpen, "Sdk not open", source);
    case NoSdk::Silent:
        break;
    }
    return SetLastErrorInfo(Q7::Tavrin::SdkNotOpen, "", source);
}

ErrorCode RecordUniversalError(const Q7::Universal::UniversalError& error, const char* source) noexcept
{
    SdkLog(1, "%s: error of the camera layers\n", source != nullptr ? source : "?");
    if (const auto* module = dynamic_cast<const Q7::Universal::ModuleError*>(&error))
    {
        return KpxLibTransport::HandleModuleError(*module, nullptr);
    }
    return KpxLibTransport::HandleUniversalError(error, nullptr);
}

} // namespace Q7::TavrinC
