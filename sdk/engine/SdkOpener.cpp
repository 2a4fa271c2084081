#include "SdkOpener.h"

#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

SdkOpener::SdkOpener()
{
    Q7::TavrinC::SdkLog(5, "Sdk: Opening SDK & register default factory\n");
    Q7::Tavrin::ThrowOnErrorCode(Q7::TavrinC::OpenSdk());
    Q7::Tavrin::ThrowOnErrorCode(Q7::TavrinC::RegisterDefaultFactory());
}

SdkOpener::~SdkOpener()
{
    Q7::TavrinC::SdkLog(5, "Sdk: Closing SDK\n");
    Q7::TavrinC::CloseSdk(false);
}

SdkOpener& EnsureSdkOpen()
{
    // The construction's log waits until the compiler's lock is released:
    // another thread may wait for that lock while the application's log
    // handler waits for that thread.
    const Q7::TavrinC::LibraryLockScope scope;
    // A function-local static: constructed once under the compiler's own lock,
    // retried after a constructor that threw, destroyed at process exit.
    static SdkOpener opener;
    return opener;
}

namespace Q7::Tavrin
{

void EnsureOpen()
{
    EnsureSdkOpen();
}

void EnsureClosed()
{
    Q7::TavrinC::CloseSdk(false);
}

} // namespace Q7::Tavrin
