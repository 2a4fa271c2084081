#include "TavrinBuildHash.h"

#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

// The texts that name this build: compiler, date and source revision.

#define TAVRIN_TEXT(x) #x
#define TAVRIN_NUMBER_TEXT(x) TAVRIN_TEXT(x)

namespace
{

#if defined(__clang__)
constexpr const char kCompiler[] = "Clang " TAVRIN_NUMBER_TEXT(__clang_major__) "." TAVRIN_NUMBER_TEXT(
    __clang_minor__) "." TAVRIN_NUMBER_TEXT(__clang_patchlevel__);
#elif defined(__GNUC__)
constexpr const char kCompiler[] = "GCC " TAVRIN_NUMBER_TEXT(__GNUC__) "." TAVRIN_NUMBER_TEXT(
    __GNUC_MINOR__) "." TAVRIN_NUMBER_TEXT(__GNUC_PATCHLEVEL__);
#else
constexpr const char kCompiler[] = "Unknown 0";
#endif

constexpr const char kBuildDate[] = __DATE__ " " __TIME__;

} // namespace

namespace Q7::TavrinC
{

Q7::Tavrin::Version GetSdkVersion()
{
    return Q7::Tavrin::Version{3, 1, 8};
}

const char* GetSdkBuildCompiler()
{
    return kCompiler;
}

const char* GetSdkBuildDate()
{
    return kBuildDate;
}

const char* GetSdkBuildHash()
{
    return kTavrinBuildHash;
}

} // namespace Q7::TavrinC

namespace Q7::Tavrin
{

Version GetSdkVersion()
{
    return Q7::TavrinC::GetSdkVersion();
}

const char* GetSdkBuildCompiler()
{
    return Q7::TavrinC::GetSdkBuildCompiler();
}

const char* GetSdkBuildDate()
{
    return Q7::TavrinC::GetSdkBuildDate();
}

const char* GetSdkBuildHash()
{
    return Q7::TavrinC::GetSdkBuildHash();
}

} // namespace Q7::Tavrin
