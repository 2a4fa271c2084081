#pragma once
// The common shape of the flat functions: find the SDK instance, fail in the
// function's fixed way without one, run the work, and let no exception out.

#include "LastError.h"
#include "Sdk.h"

namespace Q7::TavrinC
{

/// How a flat function fails without an SDK instance, each with code -3.
enum class NoSdk
{
    Report,     ///< re-reports the reason Sdk::GetInstance recorded, under the function's name
    SdkNotOpen, ///< records "Sdk not open"
    Silent,     ///< records an empty message
};

/// Records the failure of form under source and returns -3 (the re-reported
/// code for Report). Never throws.
ErrorCode FailWithoutSdk(NoSdk form, const char* source) noexcept;

/// Runs body(Sdk&) with the open SDK instance, or fails as form says without
/// one; every exception is recorded through RecordExceptions. Never throws.
template <typename Body>
ErrorCode FlatCall(const char* source, NoSdk form, Body&& body) noexcept
{
    return RecordExceptions(source,
                            [&]() -> ErrorCode
                            {
                                Sdk* sdk = Sdk::GetInstance(false);
                                if (sdk == nullptr)
                                {
                                    return FailWithoutSdk(form, source);
                                }
                                return body(*sdk);
                            });
}

} // namespace Q7::TavrinC

#include <string>
#include <string_view>

namespace Q7::TavrinC
{

/// A camera's property group text as a path: the name of every level written
/// "{<digits>}<name>" (name: word characters, white space, '-' and '/';
/// optionally ended by a backslash), left to right, joined by "::"; empty when
/// there is none. "{0}Exposure\{1}Advanced" gives "Exposure::Advanced". Linear
/// in the text's length. Reentrant.
std::string RewritePropertyGroup(std::string_view group);

} // namespace Q7::TavrinC
