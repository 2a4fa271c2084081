// The flat interface's object-factory registration.

#include "DefaultFactory.h"
#include "LastError.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

#include <memory>
#include <mutex>

namespace Q7::TavrinC
{

namespace
{

using namespace Q7::Tavrin;

constinit std::mutex g_getFactoryMutex; // serialises GetFactory's reads

constinit std::mutex g_defaultFactoryMutex;           // guards g_pDefaultFactory
constinit ObjectFactory* g_pDefaultFactory = nullptr; // set once registered, never cleared

} // namespace

ErrorCode SetFactory(ObjectFactory& factory)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetFactory";
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    sdk->SetFactory(&factory);
    return SetLastErrorInfo(Success, "", kSource);
}

ErrorCode GetFactory(ObjectFactory*& factory)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetFactory";
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    ObjectFactory* registered = nullptr;
    {
        const std::lock_guard<std::mutex> lock(g_getFactoryMutex);
        registered = sdk->Factory();
    }
    if (registered == nullptr)
    {
        return SetLastErrorInfo(SdkNoFactory, "", kSource);
    }
    factory = registered;
    return Success;
}

ErrorCode RegisterDefaultFactory()
{
    static constexpr const char* kSource = "Q7::TavrinC::RegisterDefaultFactory";
    return RecordExceptions(kSource,
                            []
                            {
                                const std::lock_guard<std::mutex> lock(g_defaultFactoryMutex);
                                if (g_pDefaultFactory != nullptr)
                                {
                                    return Success;
                                }
                                auto factory = std::make_unique<DefaultFactory>();
                                if (const ErrorCode result = SetFactory(*factory); result != Success)
                                {
                                    // Not registered, so not remembered either: the next call
                                    // tries again.
                                    return result;
                                }
                                g_pDefaultFactory = factory.release();
                                return Success;
                            });
}

} // namespace Q7::TavrinC
