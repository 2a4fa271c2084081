#include "Agents/ImageTransfer/KPXImageReceive.h"

#include <exception>
#include <utility>

#include "Q7UniversalError.h"

namespace Q7::KPX
{

using Platform::ScopedLock;

void ImageDeliveryQueue::Push(const ImageReceivePackage& package)
{
    try
    {
        ScopedLock lock(m_lock);
        m_packages.push_back(package);
        m_hasPackages.Set();
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(Universal::StdExceptionError(exception), nullptr);
    }
}

bool ImageDeliveryQueue::Pop(ImageReceivePackage& package, const WaitObjectList& waitObjects)
{
    try
    {
        std::vector<Platform::BaseWaitObject*> objects(waitObjects.begin(), waitObjects.end());
        objects.push_back(&m_hasPackages);
        for (;;)
        {
            {
                ScopedLock lock(m_lock);
                if (!m_packages.empty())
                {
                    ImageReceivePackage& oldest = m_packages.front();
                    package.imageId = oldest.imageId;
                    package.fileName = std::move(oldest.fileName);
                    package.buffer = std::move(oldest.buffer);
                    package.size = oldest.size;
                    m_packages.pop_front();
                    if (m_packages.empty())
                        m_hasPackages.Reset();
                    return true;
                }
            }
            std::uint32_t index = Platform::kNoSignalledIndex;
            Platform::WaitForObjects(&index, static_cast<std::uint32_t>(objects.size()), objects.data(),
                                     false, Platform::kInfinite);
            if (index < waitObjects.size())
                return false;
        }
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(Universal::StdExceptionError(exception), nullptr);
    }
}

std::size_t ImageDeliveryQueue::GetCount() const
{
    ScopedLock lock(m_lock);
    return m_packages.size();
}

} // namespace Q7::KPX
