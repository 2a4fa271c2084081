#pragma once
// The flat interface: free functions that return an ErrorCode and leave it,
// with a message, as the calling thread's last error.
//
// Every function records its outcome in the last error of the calling thread
// (a record made by one thread is never seen by another), and a failure is also
// echoed into the SDK log as "<source padded to 32>: ErrorCode=<code>
// \"<message>\"". The SDK log is silent until a message printer (here) or a
// logging handler (Sdk.h) is installed.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/ObjectFactory.h>

#include <cstdarg>
#include <cstdint>
#include <memory>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

// ---------------------------------------------------------------- SDK instance

/// Opens the SDK: 0 when it is open afterwards (also when it was open already,
/// with the message "SDK is already open"). After CloseSdk the SDK cannot be
/// opened again in the process: -3 "SDK not open (closed/deleted)". Thread-safe.
TAVRIN_API ErrorCode OpenSdk();

/// Closes the SDK for good: wakes and forgets every listener, closes the
/// cameras, ends the object factory; afterwards every flat call fails with -3.
/// When the SDK is not open, gives 0, or with reportIfNotOpen the recorded -3
/// ("Sdk not open" before the first OpenSdk, "SDK not open (closing)" while
/// another thread closes it, "SDK not open (closed/deleted)" afterwards).
/// Blocks while cameras close. Thread-safe: of several concurrent calls one
/// closes; the others act as if the SDK were not open.
TAVRIN_API ErrorCode CloseSdk(bool reportIfNotOpen);

/// True while the SDK is open and not closing; otherwise false, with -3 in the
/// last error. Thread-safe.
TAVRIN_API bool IsSdkOpen();

/// The SDK version, 3.1.8. Thread-safe.
TAVRIN_API Q7::Tavrin::Version GetSdkVersion();
/// The compiler that built the library and its version ("GCC 12.2.0"). Thread-safe.
TAVRIN_API const char* GetSdkBuildCompiler();
/// The build's date and time ("Mmm dd yyyy hh:mm:ss"). Thread-safe.
TAVRIN_API const char* GetSdkBuildDate();
/// Eight lower-case hexadecimal digits naming the source revision of the build
/// ("00000000" when unknown). Thread-safe.
TAVRIN_API const char* GetSdkBuildHash();

// ---------------------------------------------------------------- last error

/// The calling thread's last code (0 when it made no call). Thread-safe.
TAVRIN_API ErrorCode GetErrorCode();

/// The calling thread's last message (empty when it made no call); valid until
/// the thread's next flat call. Thread-safe.
TAVRIN_API const char* GetErrorMessage();

/// Sets code to the calling thread's last code and returns it. When buffer is
/// not null and size is positive, also copies the last message into it: at most
/// size - 1 characters and a terminating NUL; a size of 0 or less writes
/// nothing. Thread-safe.
TAVRIN_API ErrorCode GetLastError(ErrorCode& code, char* buffer, int size);

// ---------------------------------------------------------------- SDK log

/// Receives every line of the SDK log: level 1 error, 2 warning or failure, 4
/// notable event, 5 progress or detail, 6 tracing; a printf format and its
/// arguments. Called on whatever thread logs, the library's own included, and
/// concurrently: it must be thread-safe. An exception it throws is dropped.
using MessagePrinter = void (*)(int level, const char* format, va_list args);

/// Replaces the message printer; null silences the SDK log. Replaces a logging
/// handler's dispatch as well. Thread-safe; a call of the previous printer may
/// still be running on another thread when it returns.
TAVRIN_API void SetMessagePrinter(MessagePrinter printer);

/// The verbose mode: while on, level-6 tracing is logged as level 5, and the log
/// of the protocol and platform layers reaches the SDK log (its debug lines at
/// level 5, information at 4, warnings at 2, errors at 1). Enabling twice routes
/// each line once. Thread-safe.
TAVRIN_API void EnablePG13(bool enable);

// ---------------------------------------------------------------- listeners
//
// A listener is an id with its own queue of events. Enable the notifications it
// wants, by prototype events (BuildNotificationEvent) or all of them ("catch
// all"), and let one thread wait for them. An event is queued once per matching
// registration: a listener with a catch-all registration and a matching
// prototype receives it twice. Events wait in the queue, without limit, until
// taken. All functions are thread-safe; only WaitForNotification blocks.
//
// Without an SDK instance each function fails with -3 and re-reports the
// recorded reason ("SDK not open (closing)", "SDK not open (closed/deleted)"),
// except where said otherwise.

/// Registers a new listener and stores its id (0, 1, 2, ...; never reused) in
/// listenerId. Opens the SDK when it is not open yet. 0; -42 "Listener queue
/// already present" (the id is used up all the same).
TAVRIN_API ErrorCode RegisterListener(std::uint32_t& listenerId);

/// Removes the listener, its registrations and its queued events; a thread
/// waiting on it returns the SdkWakeUp event. 0; -45 (empty message) for an
/// unknown listener.
TAVRIN_API ErrorCode DeregisterListener(std::uint32_t listenerId);

/// Registers filter: events equal to it (filter first: same type; the same
/// camera when the filter has a camera id above 0; the same property id for a
/// property event) are queued for the listener. Checks, in order: -1 "The
/// notification filter is empty" for a null filter; for a filter with a camera,
/// -10 "You cannot enable notification on a closed camera" unless it is open;
/// -45 "Cannot enable notification on a not-initialized listener"; for a
/// property filter, -20 "You cannot enable notification for non-existing
/// property id" unless the camera has it (and the code of a failed look-up, -10
/// "The camera is not open" for a closed camera); -40 "The same notification
/// cannot be enabled more than once" for the same filter object twice (a second
/// object describing the same event is a second registration). On success
/// returns 0 and records nothing.
TAVRIN_API ErrorCode EnableNotification(std::uint32_t listenerId,
                                        std::shared_ptr<const Q7::Tavrin::INotificationEvent>&& filter);

/// Removes the listener's first registration whose filter equals filter (as a
/// prototype). 0; -43 (empty message) when none does, or for a null filter. The
/// listener itself is not checked.
TAVRIN_API ErrorCode DisableNotification(std::uint32_t listenerId,
                                         std::shared_ptr<const Q7::Tavrin::INotificationEvent>&& filter);

/// Queues every event for the listener (one catch-all registration at most). 0,
/// recording nothing; -45 "Cannot enable 'catch all' notification on a
/// not-initialized listener".
TAVRIN_API ErrorCode EnableCatchAllNotifications(std::uint32_t listenerId);

/// Removes the listener's catch-all registration. 0, recording nothing; -45
/// "Cannot disable 'catch all' notification on a not-initialized listener".
TAVRIN_API ErrorCode DisableCatchAllNotifications(std::uint32_t listenerId);

/// Removes every registration of the listener and wakes a thread waiting on it
/// (it returns the SdkWakeUp event). 0, also for an unknown listener.
TAVRIN_API ErrorCode DisableAllNotifications(std::uint32_t listenerId);

/// The listener's next event, with code 0. Blocks until one comes, for at most
/// timeoutMs milliseconds (0: without limit). Returns a new SdkWakeUp event
/// (camera id -1) with code 0 when woken by WakeUpWaitingThread,
/// DisableAllNotifications, DeregisterListener or CloseSdk, and at once when the
/// listener was removed or the SDK closed between finding the listener and
/// waiting. Otherwise an empty pointer and: -100 "Another thread is already
/// waiting for notifications on this listener" at once (the other thread waits
/// on); -44 for an unknown listener; -41 on time-out; -3 (empty message) without
/// an SDK or when it closes. The code is also the last error.
TAVRIN_API std::shared_ptr<const Q7::Tavrin::INotificationEvent>
WaitForNotification(std::uint32_t listenerId, ErrorCode& code, std::uint32_t timeoutMs);

/// Makes a thread waiting on the listener now return the SdkWakeUp event. A
/// wake-up while no thread waits is not remembered. 0, also for an unknown
/// listener.
TAVRIN_API ErrorCode WakeUpWaitingThread(std::uint32_t listenerId);

// ---------------------------------------------------------------- cameras

/// Sets isOpen to whether cameraId names an open camera; returns 0 and records
/// nothing. Without an SDK instance fails as the listener functions do.
TAVRIN_API ErrorCode IsCameraOpen(int cameraId, bool& isOpen);

/// Sets has to whether the open camera cameraId has the property propertyId
/// (reading its value): 0 also when it has not. A failed read for another
/// reason gives its code, -10 "The camera is not open" for a camera that is not
/// open. Without an SDK instance fails as the listener functions do.
TAVRIN_API ErrorCode HasProperty(int cameraId, unsigned int propertyId, bool& has);

// ---------------------------------------------------------------- object factories

/// Registers factory (not owned) as the maker of the texts and lists the flat
/// functions hand out; CloseSdk ends it through its Terminate. 0; without an SDK
/// instance the re-reported -3. Thread-safe.
TAVRIN_API ErrorCode SetFactory(ObjectFactory& factory);

/// Stores the registered factory in factory: 0, recording nothing; -4 (empty
/// message) when none is registered; without an SDK instance the re-reported
/// -3. Thread-safe.
TAVRIN_API ErrorCode GetFactory(ObjectFactory*& factory);

/// Registers the library's default factory (SetFactory) once for the process:
/// the first call that registers it returns 0, and so does every later call,
/// which does nothing. A call that cannot register it (no SDK: -3) frees it and
/// returns the code; the next call tries again. Thread-safe.
TAVRIN_API ErrorCode RegisterDefaultFactory();

} // namespace Q7::TavrinC
