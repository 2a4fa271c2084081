#include "LastError.h"

#include "SdkLog.h"

#include <TavrinCpp/TavrinC.h>

#include <cstdio>
#include <new>
#include <string>

namespace Q7::TavrinC
{

namespace
{

// Failures are echoed; successes are not. The setting has no interface.
enum class EchoMode
{
    None,
    Failures,
    All,
};
constexpr EchoMode kEchoMode = EchoMode::Failures;

struct LastErrorRecord
{
    ErrorCode code = Q7::Tavrin::Success;
    std::string message;
};

// The record of a thread is reached through a trivially destructible pointer,
// and freed by a separate thread-local owner when the thread ends. At process
// exit the main thread's thread-locals are destroyed before the statics, and
// static destructors (the one that closes the SDK among them) still record
// errors: they find the pointer null and get a record made anew, which stays
// until the process ends.
struct RecordSlot
{
    LastErrorRecord* record = nullptr;
    bool ownerGone = false; // the owner below has run its destructor
};
thread_local RecordSlot t_slot;

struct RecordOwner
{
    RecordOwner() noexcept = default;
    RecordOwner(const RecordOwner&) = delete;
    RecordOwner& operator=(const RecordOwner&) = delete;
    ~RecordOwner()
    {
        delete t_slot.record;
        t_slot.record = nullptr;
        t_slot.ownerGone = true;
    }
    // Touching the owner constructs it on this thread and registers its
    // destructor for the thread's end.
    void Arm() noexcept {}
};
thread_local RecordOwner t_owner;

// This thread's record, made on first use; null only when memory ran out.
LastErrorRecord* WritableRecord() noexcept
{
    if (t_slot.record == nullptr)
    {
        t_slot.record = new (std::nothrow) LastErrorRecord();
        if (t_slot.record != nullptr && !t_slot.ownerGone)
        {
            t_owner.Arm();
        }
    }
    return t_slot.record;
}

// This thread's record for reading; a thread without one reads the initial state.
const LastErrorRecord& ReadableRecord() noexcept
{
    // Never destroyed: threads read it while static destructors run at exit.
    static const LastErrorRecord& noRecord = *new LastErrorRecord();
    return t_slot.record != nullptr ? *t_slot.record : noRecord;
}

void Echo(ErrorCode code, const char* message, const char* source) noexcept
{
    const bool echo = code != Q7::Tavrin::Success ? kEchoMode != EchoMode::None : kEchoMode == EchoMode::All;
    if (echo)
    {
        SdkLog(code != Q7::Tavrin::Success ? 2 : 5, "%-32s: ErrorCode=%d \"%s\"\n",
               source != nullptr ? source : "?", static_cast<int>(code),
               message != nullptr ? message : "null");
    }
}

} // namespace

ErrorCode SetLastErrorInfo(ErrorCode code, const char* message, const char* source) noexcept
{
    if (LastErrorRecord* record = WritableRecord(); record != nullptr)
    {
        record->code = code;
        try
        {
            record->message.assign(message != nullptr ? message : "");
        }
        catch (const std::bad_alloc&)
        {
            record->message.clear();
        }
    }
    Echo(code, message, source);
    return code;
}

ErrorCode ReportCurrentError(const char* source) noexcept
{
    const LastErrorRecord& record = ReadableRecord();
    const ErrorCode code = record.code;
    try
    {
        const std::string message = record.message; // SetLastErrorInfo replaces the stored one
        return SetLastErrorInfo(code, message.c_str(), source);
    }
    catch (const std::bad_alloc&)
    {
        return SetLastErrorInfo(code, "", source);
    }
}

ErrorCode GetErrorCode()
{
    return ReadableRecord().code;
}

const char* GetErrorMessage()
{
    return ReadableRecord().message.c_str();
}

ErrorCode GetLastError(ErrorCode& code, char* buffer, int size)
{
    const LastErrorRecord& record = ReadableRecord();
    if (buffer != nullptr && size > 0)
    {
        std::snprintf(buffer, static_cast<std::size_t>(size), "%s", record.message.c_str());
    }
    code = record.code;
    return record.code;
}

} // namespace Q7::TavrinC
