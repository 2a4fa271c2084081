#pragma once
// Pool of large reusable byte buffers handed out as counted handles.
//
// The image-transfer and live-view agents receive megabytes per image; instead
// of allocating per image they own a BufferPool with a fixed number of buffers
// that grow on demand in large steps and are never shrunk. A BufferPtr may travel
// with a finished image up to the application; the buffer returns to its pool
// when the last handle on it is gone. When every buffer is held, GetBuffer waits
// until one is released, which throttles the camera to what the application
// consumes.
//
// Lifetime: the pool's records, lock, release event and allocator live in a state
// shared by the pool and every handle, so a handle may outlive its pool (an image
// kept by the application after its camera was closed). Such a buffer is freed
// when its last handle goes, and the allocator stays alive until then.

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalString.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Q7::KPX
{

/// Source of the pool's memory. Implementations must be thread-safe: buffers are
/// freed on whichever thread releases the last handle.
template <typename T>
class IAllocator
{
public:
    virtual ~IAllocator() = default;

    /// Allocates size elements. Throws std::bad_alloc (or another exception) when
    /// no memory is available; never returns null for a size above 0.
    virtual T* allocate(uint32_t size) = 0;

    /// Frees what allocate returned. Null is allowed and does nothing.
    virtual void free(T* p) = 0;
};

/// Heap allocator (array new and delete). Thread-safe.
class Allocator : public IAllocator<unsigned char>
{
public:
    unsigned char* allocate(uint32_t size) override;
    void free(unsigned char* p) override;
};

/// The list of wait objects whose signalling aborts a waiting GetBuffer.
using WaitObjectList = std::vector<Q7::Platform::BaseWaitObject*>;

class BufferPtr;

namespace Detail
{
class BufferPoolState;
} // namespace Detail

/// A fixed number of reusable byte buffers. Thread-safe: every operation may be
/// called from any thread; handles are released from any thread.
class BufferPool
{
public:
    /// One MiB, the unit of the allocation multiple.
    static constexpr uint32_t kMB = 0x100000;
    /// The allocation multiple used when 0 is given: 4 MiB.
    static constexpr uint32_t kDefaultAllocMultiple = 0x400000;

    /// Makes bufferCount empty records; allocates nothing yet.
    /// allocMultiple is the allocation step in bytes: 0 means 4 MiB, any other
    /// value is rounded up to whole MiB. logPrefix (may be null) is put before
    /// every log line of this pool. Assertions (fatal): "allocator != NULL",
    /// "bufferCount > 0" and "m_allocMultiple > 1 * MB" (the rounded multiple must
    /// be at least 2 MiB and fit in 32 bits).
    BufferPool(std::shared_ptr<IAllocator<unsigned char>> allocator, uint32_t bufferCount,
               uint32_t allocMultiple, const wchar_t* logPrefix);

    /// Frees the bytes of every free buffer. A buffer still held logs the error
    /// "%lsfreeing buffer pool while in use." and is freed when its last handle
    /// goes. Never throws.
    ~BufferPool();

    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    /// Returns a handle on a free buffer of at least minSize bytes: the first free
    /// buffer, reallocated in multiples of the allocation step when it is too
    /// small (buffers never shrink). Blocks while every buffer is held, until one
    /// is released. Returns an empty handle when one of abortObjects (may be null
    /// or empty; at most 63) is signalled first (at once, without the waiting
    /// line, when one already is and no buffer is free: a request that must not
    /// wait); at once, with an error line, when minSize rounded up to the
    /// allocation step does not fit in 32 bits (no buffer can ever hold it); and
    /// at once, with the warning "%lsfailed to allocate buffer." and
    /// `allocationFailed` (may be null) set, when a free buffer could not be
    /// given the size and none other was free: a failed allocation is not tried
    /// again (the freed buffer stays empty). A minSize of 0 is served like 1.
    /// Thread-safe.
    BufferPtr GetBuffer(uint32_t minSize, const WaitObjectList* abortObjects, bool* allocationFailed = nullptr);

    /// Adds one holder to the buffer. Null does nothing. A pointer that belongs to
    /// no buffer of this pool raises ModuleError 0x650001 "%lsbuffer not present
    /// in pool." (internal error). Thread-safe.
    void RetainBuffer(const unsigned char* buffer);

    /// Removes one holder from the buffer; the last one returns it to the pool
    /// ("%lsreturning buffer to pool.") and wakes waiting GetBuffer calls. Null
    /// does nothing; a free buffer logs "%lsReleaseBuffer() called on non-retained
    /// buffer." and changes nothing; an unknown pointer raises as RetainBuffer
    /// does. Thread-safe.
    void ReleaseBuffer(const unsigned char* buffer);

    /// The allocation step in bytes. Thread-safe.
    uint32_t GetAllocMultiple() const;

    /// The number of buffers. Thread-safe.
    uint32_t GetBufferCount() const;

private:
    friend class BufferPtr;

    std::shared_ptr<Detail::BufferPoolState> m_state; // shared with every handle
};

/// Counted handle on one pool buffer, bound to one pool for its whole life.
/// A non-empty handle counts once as a holder of its buffer. Copies, moves and
/// destruction in any order release the buffer exactly once per handle.
/// One handle object is not to be used by several threads at once; different
/// handles on the same buffer may be used and released on any threads.
class BufferPtr
{
public:
    /// An empty handle bound to the pool.
    explicit BufferPtr(BufferPool& pool);

    /// A handle on the given buffer of the pool; retains it (see RetainBuffer
    /// for the errors raised).
    BufferPtr(BufferPool& pool, unsigned char* buffer);

    /// Retains the source's buffer once more (nothing for an empty source).
    BufferPtr(const BufferPtr& other);

    /// Takes the source's buffer; the source becomes empty and stays bound to its
    /// pool.
    BufferPtr(BufferPtr&& other) noexcept;

    /// Both handles must belong to the same pool (assertion "&m_pool ==
    /// &ptr.m_pool"). Retains the other's buffer, then releases the own one, so
    /// assigning a handle to itself or to a handle on the same buffer keeps it.
    BufferPtr& operator=(const BufferPtr& other);

    /// Same pool asserted as for copying; releases the own buffer and takes the
    /// other's, leaving the other empty.
    BufferPtr& operator=(BufferPtr&& other) noexcept;

    /// Releases the buffer (see Release).
    ~BufferPtr();

    /// Clears the handle, then releases its buffer to the pool. Errors of the
    /// release are logged, never thrown.
    void Release() noexcept;

    /// The buffer's first byte, or null for an empty handle.
    unsigned char* GetData() const { return m_pBuffer; }

    /// The buffer's size in bytes (at least what GetBuffer was asked for), 0 for
    /// an empty handle.
    uint32_t GetSize() const { return m_size; }

    /// True when the handle holds no buffer.
    bool IsEmpty() const { return m_pBuffer == nullptr; }

    /// True when the handle is bound to the given pool.
    bool BelongsTo(const BufferPool& pool) const { return m_pool == pool.m_state; }

private:
    friend class BufferPool;

    struct AdoptTag
    {
    };
    // Takes over one retain already counted for the buffer (used by GetBuffer).
    BufferPtr(std::shared_ptr<Detail::BufferPoolState> pool, unsigned char* buffer, uint32_t size, AdoptTag);

    // Fails the assertion "&m_pool == &ptr.m_pool" when ptr is bound to another pool.
    void CheckSamePool(const BufferPtr& ptr) const noexcept;

    // Releases one holder of buffer (null: nothing); errors are logged.
    void ReleaseToPool(unsigned char* buffer) const noexcept;

    std::shared_ptr<Detail::BufferPoolState> m_pool; // never null
    unsigned char* m_pBuffer = nullptr;
    uint32_t m_size = 0;
};

} // namespace Q7::KPX
