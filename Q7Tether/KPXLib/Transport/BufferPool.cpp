#include "Transport/BufferPool.h"

#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <exception>
#include <new>

namespace Q7::KPX
{

using Q7::Platform::ScopedLock;
using Q7::Universal::LogErrorText;
using Q7::Universal::LogInfo;
using Q7::Universal::LogWarning;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;
using Q7::Universal::UniversalString;

namespace Detail
{

// The part of a pool that every handle shares with it: records, lock, release
// event and allocator stay alive until the pool and its last handle are gone.
class BufferPoolState
{
public:
    // One pool entry.
    struct Record
    {
        uint32_t refCount = 0;            // live handles; 0 = free
        unsigned char* pBuffer = nullptr; // null before the first use
        uint32_t bufferSize = 0;          // 0 while pBuffer is null
    };

    BufferPoolState(std::shared_ptr<IAllocator<unsigned char>> allocator, uint32_t bufferCount,
                    uint32_t allocMultiple, const wchar_t* logPrefix)
        : m_allocator(std::move(allocator)), m_allocMultiple(allocMultiple), m_pool(bufferCount),
          m_releaseEvent(false)
    {
        m_logPrefix.Assign(logPrefix);
    }

    // Frees what is left: normally nothing, since the pool's destructor frees the
    // free buffers and the last handle of a held one frees it.
    ~BufferPoolState()
    {
        for (Record& record : m_pool)
        {
            FreeBytes(record);
        }
    }

    BufferPoolState(const BufferPoolState&) = delete;
    BufferPoolState& operator=(const BufferPoolState&) = delete;

    const wchar_t* Prefix() const { return m_logPrefix.c_str(); }
    uint32_t AllocMultiple() const { return m_allocMultiple; }
    uint32_t BufferCount() const { return static_cast<uint32_t>(m_pool.size()); }

    // See BufferPool::GetBuffer; minSize already checked to round within 32 bits.
    // Answers the buffer (retained once) and its size, or null when aborted or
    // when an allocation failed (then `allocationFailed` is set).
    unsigned char* Get(uint32_t minSize, uint32_t roundedSize, const WaitObjectList* abortObjects,
                       uint32_t& size, bool& allocationFailed);

    // Adds one holder; answers the buffer's size. Raises for an unknown pointer.
    uint32_t Retain(const unsigned char* buffer);

    // Removes one holder. Raises for an unknown pointer.
    void Release(const unsigned char* buffer);

    // The pool object is being destroyed: frees the free buffers, reports the held
    // ones, and from now on frees each held buffer when its last holder goes.
    void Close() noexcept;

private:
    // Finds the record of a buffer; raises "buffer not present in pool." when none.
    Record& Find(const unsigned char* buffer);

    // Makes a free record hold at least minSize bytes; false when the memory could
    // not be had. Pool lock held.
    bool MakeSize(Record& record, uint32_t minSize, uint32_t roundedSize);

    void FreeBytes(Record& record) noexcept
    {
        if (record.pBuffer != nullptr)
        {
            m_allocator->free(record.pBuffer);
        }
        record.pBuffer = nullptr;
        record.bufferSize = 0;
    }

    const std::shared_ptr<IAllocator<unsigned char>> m_allocator; // never null
    UniversalString m_logPrefix;                                  // put before every log line
    const uint32_t m_allocMultiple;                               // allocation step in bytes

    Q7::Platform::Mutex_Posix m_lock; // guards m_pool and m_closed
    std::vector<Record> m_pool;       // length fixed at construction
    bool m_closed = false;            // the BufferPool object is gone

    // Set whenever a buffer becomes free; GetBuffer clears it before each search.
    Q7::Platform::EventCondition_Posix m_releaseEvent;
};

unsigned char* BufferPoolState::Get(uint32_t minSize, uint32_t roundedSize,
                                    const WaitObjectList* abortObjects, uint32_t& size, bool& allocationFailed)
{
    Q7_ASSERT(!m_pool.empty());

    // The wait list: the caller's abort objects, then the release event last.
    std::vector<Q7::Platform::BaseWaitObject*> waitList;
    if (abortObjects != nullptr)
    {
        waitList = *abortObjects;
    }
    const uint32_t abortCount = static_cast<uint32_t>(waitList.size());
    waitList.push_back(&m_releaseEvent);

    for (;;)
    {
        // Cleared before looking, so that a release during the search is not missed.
        m_releaseEvent.Reset();

        allocationFailed = false;
        {
            ScopedLock lock(m_lock);
            for (Record& record : m_pool)
            {
                if (record.refCount != 0)
                {
                    continue;
                }
                if (!MakeSize(record, minSize, roundedSize))
                {
                    allocationFailed = true;
                    continue;
                }
                Q7_ASSERT(record.pBuffer != NULL);
                Q7_ASSERT(record.bufferSize >= minSize);
                LogInfo(L"%lsgetting buffer from pool (size=%u MB).", Prefix(),
                        record.bufferSize / BufferPool::kMB);
                record.refCount = 1;
                // Another waiter may have been woken by the same release event
                // and seen it cleared by this round: wake it again when a free
                // buffer is left for it.
                for (const Record& other : m_pool)
                {
                    if (other.refCount == 0)
                    {
                        m_releaseEvent.Set();
                        break;
                    }
                }
                size = record.bufferSize;
                return record.pBuffer;
            }
        }

        if (allocationFailed)
        {
            // Memory that was not there now is unlikely to be there a second
            // later: the caller refuses what needed it instead of waiting on.
            LogWarning(L"%lsfailed to allocate buffer.", Prefix());
            return nullptr;
        }
        // A caller whose abort object is already signalled asked only for a
        // buffer that is free at once: it does not wait.
        if (abortCount > 0 && Q7::Platform::WaitForObjects(nullptr, abortCount, waitList.data(), false, 0))
        {
            return nullptr;
        }
        LogInfo(L"%lsno buffer currently available. Waiting.", Prefix());

        uint32_t index = 0xFFFFFFFF;
        const bool signalled = Q7::Platform::WaitForObjects(&index, static_cast<uint32_t>(waitList.size()),
                                                            waitList.data(), false, Q7::Platform::kInfinite);
        if (signalled && index < abortCount)
        {
            return nullptr;
        }
        // A released buffer: search again.
    }
}

bool BufferPoolState::MakeSize(Record& record, uint32_t minSize, uint32_t roundedSize)
{
    Q7_ASSERT(record.refCount == 0);
    if (record.pBuffer != nullptr && record.bufferSize >= minSize)
    {
        return true;
    }
    if (record.pBuffer != nullptr)
    {
        LogInfo(L"%lsreallocating buffer from %u to %u MB.", Prefix(), record.bufferSize / BufferPool::kMB,
                roundedSize / BufferPool::kMB);
    }
    else
    {
        LogInfo(L"%lsallocating buffer of %u MB.", Prefix(), roundedSize / BufferPool::kMB);
    }
    FreeBytes(record);
    if (roundedSize == 0)
    {
        return false;
    }
    try
    {
        record.pBuffer = m_allocator->allocate(roundedSize);
    }
    catch (const UniversalError& error)
    {
        Q7_REPORT_INTERNAL_ERROR(error, L"Ignoring error from std::new.");
    }
    catch (const std::exception& exception)
    {
        Q7_REPORT_INTERNAL_ERROR(Q7::Universal::StdExceptionError(exception),
                                 L"Ignoring error from std::new.");
    }
    catch (...)
    {
        Q7_REPORT_INTERNAL_ERROR_TEXT(L"Ignoring error from std::new.");
    }
    if (record.pBuffer == nullptr)
    {
        return false;
    }
    record.bufferSize = roundedSize;
    return true;
}

BufferPoolState::Record& BufferPoolState::Find(const unsigned char* buffer)
{
    for (Record& record : m_pool)
    {
        if (record.pBuffer == buffer)
        {
            return record;
        }
    }
    const UniversalString text(L"%lsbuffer not present in pool.", Prefix());
    Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter, text), nullptr);
}

uint32_t BufferPoolState::Retain(const unsigned char* buffer)
{
    if (buffer == nullptr)
    {
        return 0;
    }
    ScopedLock lock(m_lock);
    Record& record = Find(buffer);
    ++record.refCount;
    return record.bufferSize;
}

void BufferPoolState::Release(const unsigned char* buffer)
{
    if (buffer == nullptr)
    {
        return;
    }
    ScopedLock lock(m_lock);
    Record& record = Find(buffer);
    if (record.refCount == 0)
    {
        LogErrorText(L"%lsReleaseBuffer() called on non-retained buffer.", Prefix());
        return;
    }
    if (--record.refCount != 0)
    {
        return;
    }
    if (m_closed)
    {
        // The pool is gone; nobody can reuse the bytes.
        LogInfo(L"%lsfreeing buffer released after its pool was destroyed.", Prefix());
        FreeBytes(record);
        return;
    }
    LogInfo(L"%lsreturning buffer to pool.", Prefix());
    m_releaseEvent.Set();
}

void BufferPoolState::Close() noexcept
{
    try
    {
        ScopedLock lock(m_lock);
        m_closed = true;
        for (Record& record : m_pool)
        {
            if (record.refCount == 0)
            {
                FreeBytes(record);
            }
            else
            {
                LogErrorText(L"%lsfreeing buffer pool while in use.", Prefix());
            }
        }
    }
    catch (const UniversalError& error)
    {
        Q7_REPORT_INTERNAL_ERROR(error, L"Unexpected exception");
    }
    catch (const std::exception& exception)
    {
        Q7_REPORT_INTERNAL_ERROR(Q7::Universal::StdExceptionError(exception), L"Unexpected exception");
    }
    catch (...)
    {
        Q7_REPORT_INTERNAL_ERROR_TEXT(L"Unexpected exception");
    }
}

} // namespace Detail

// ---------------------------------------------------------------- Allocator

unsigned char* Allocator::allocate(uint32_t size)
{
    return new unsigned char[size];
}

void Allocator::free(unsigned char* p)
{
    delete[] p;
}

// ---------------------------------------------------------------- BufferPool

namespace
{

// The allocation multiple: 0 gives 4 MiB, anything else is rounded up to whole
// MiB in 64 bits; a result beyond 32 bits gives 0, which the constructor's
// assertion refuses.
uint32_t RoundAllocMultiple(uint32_t allocMultiple)
{
    if (allocMultiple == 0)
    {
        return BufferPool::kDefaultAllocMultiple;
    }
    const uint64_t mb = BufferPool::kMB;
    const uint64_t rounded = (uint64_t{allocMultiple} + mb - 1) / mb * mb;
    return rounded > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(rounded);
}

} // namespace

BufferPool::BufferPool(std::shared_ptr<IAllocator<unsigned char>> allocator, uint32_t bufferCount,
                       uint32_t allocMultiple, const wchar_t* logPrefix)
{
    Q7_ASSERT(allocator != NULL);
    Q7_ASSERT(bufferCount > 0);
    const uint32_t multiple = RoundAllocMultiple(allocMultiple);
    if (multiple <= kMB)
    {
        Q7::Universal::AssertionFailed(L"m_allocMultiple > 1 * MB", Q7_SOURCE_LOCATION);
    }
    m_state =
        std::make_shared<Detail::BufferPoolState>(std::move(allocator), bufferCount, multiple, logPrefix);
}

BufferPool::~BufferPool()
{
    m_state->Close();
}

BufferPtr BufferPool::GetBuffer(uint32_t minSize, const WaitObjectList* abortObjects, bool* allocationFailed)
{
    if (allocationFailed != nullptr)
    {
        *allocationFailed = false;
    }
    // A request of 0 bytes gets the smallest buffer rather than none.
    const uint64_t wanted = minSize == 0 ? 1 : minSize;
    const uint64_t step = m_state->AllocMultiple();
    const uint64_t rounded = (wanted + step - 1) / step * step;
    if (rounded > 0xFFFFFFFFu)
    {
        // No buffer of this pool can ever be that large: waiting would never end.
        LogErrorText(L"%lsrequested buffer size (%u bytes) exceeds what the pool can allocate.",
                     m_state->Prefix(), minSize);
        return BufferPtr(*this);
    }
    uint32_t size = 0;
    bool failed = false;
    unsigned char* buffer = m_state->Get(static_cast<uint32_t>(wanted), static_cast<uint32_t>(rounded),
                                         abortObjects, size, failed);
    if (buffer == nullptr)
    {
        if (allocationFailed != nullptr)
        {
            *allocationFailed = failed;
        }
        return BufferPtr(*this);
    }
    return BufferPtr(m_state, buffer, size, BufferPtr::AdoptTag{});
}

void BufferPool::RetainBuffer(const unsigned char* buffer)
{
    m_state->Retain(buffer);
}

void BufferPool::ReleaseBuffer(const unsigned char* buffer)
{
    m_state->Release(buffer);
}

uint32_t BufferPool::GetAllocMultiple() const
{
    return m_state->AllocMultiple();
}

uint32_t BufferPool::GetBufferCount() const
{
    return m_state->BufferCount();
}

// ---------------------------------------------------------------- BufferPtr

BufferPtr::BufferPtr(BufferPool& pool) : m_pool(pool.m_state) {}

BufferPtr::BufferPtr(BufferPool& pool, unsigned char* buffer) : m_pool(pool.m_state)
{
    m_size = m_pool->Retain(buffer);
    m_pBuffer = buffer;
}

BufferPtr::BufferPtr(std::shared_ptr<Detail::BufferPoolState> pool, unsigned char* buffer, uint32_t size,
                     AdoptTag)
    : m_pool(std::move(pool)), m_pBuffer(buffer), m_size(size)
{
}

BufferPtr::BufferPtr(const BufferPtr& other) : m_pool(other.m_pool)
{
    m_size = m_pool->Retain(other.m_pBuffer);
    m_pBuffer = other.m_pBuffer;
}

BufferPtr::BufferPtr(BufferPtr&& other) noexcept
    : m_pool(other.m_pool), m_pBuffer(std::exchange(other.m_pBuffer, nullptr)),
      m_size(std::exchange(other.m_size, 0))
{
}

BufferPtr& BufferPtr::operator=(const BufferPtr& other)
{
    if (this == &other)
    {
        return *this;
    }
    CheckSamePool(other);
    // Retain before releasing: with the same buffer on both sides a release first
    // could free it and let a waiting GetBuffer hand it to another owner.
    const uint32_t size = m_pool->Retain(other.m_pBuffer);
    unsigned char* previous = std::exchange(m_pBuffer, other.m_pBuffer);
    m_size = size;
    ReleaseToPool(previous);
    return *this;
}

BufferPtr& BufferPtr::operator=(BufferPtr&& other) noexcept
{
    if (this == &other)
    {
        return *this;
    }
    CheckSamePool(other);
    unsigned char* previous = std::exchange(m_pBuffer, std::exchange(other.m_pBuffer, nullptr));
    m_size = std::exchange(other.m_size, 0);
    ReleaseToPool(previous);
    return *this;
}

BufferPtr::~BufferPtr()
{
    Release();
}

void BufferPtr::Release() noexcept
{
    m_size = 0;
    ReleaseToPool(std::exchange(m_pBuffer, nullptr));
}

void BufferPtr::CheckSamePool(const BufferPtr& ptr) const noexcept
{
    if (m_pool != ptr.m_pool)
    {
        Q7::Universal::AssertionFailed(L"&m_pool == &ptr.m_pool", Q7_SOURCE_LOCATION);
    }
}

void BufferPtr::ReleaseToPool(unsigned char* buffer) const noexcept
{
    if (buffer == nullptr)
    {
        return;
    }
    try
    {
        m_pool->Release(buffer);
    }
    catch (const UniversalError& error)
    {
        Q7::Universal::LogError(error, L"%lsbuffer release failed.", m_pool->Prefix());
    }
    catch (const std::exception& exception)
    {
        Q7::Universal::LogError(Q7::Universal::StdExceptionError(exception), L"%lsbuffer release failed.",
                                m_pool->Prefix());
    }
    catch (...)
    {
        LogErrorText(L"%lsbuffer release failed.", m_pool->Prefix());
    }
}

} // namespace Q7::KPX
