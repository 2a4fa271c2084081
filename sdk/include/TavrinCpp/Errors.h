#pragma once
// Error codes of the flat interface and the exceptions of the C++ interface.
//
// Every flat function (namespace Q7::TavrinC) returns an ErrorCode and leaves
// it, with a message, as the calling thread's last error (TavrinC.h). The C++
// interface turns every non-zero code into an exception derived from
// SdkException through ThrowOnErrorCode, so the mapping lives in one place.

#include <TavrinCpp/Config.h>

#include <cstdint>
#include <stdexcept>

namespace Q7::Tavrin
{

/// Outcome of a flat function: 0 is success, every failure is negative.
enum ErrorCode : std::int32_t
{
    Success = 0,
    GeneralError = -1,                      ///< a failure without a code of its own
    SdkNotOpen = -3,                        ///< the SDK is not open, closing or closed
    SdkNoFactory = -4,                      ///< no object factory is registered
    SdkFactoryError = -5,                   ///< the object factory failed
    SdkNotYetImplemented = -6,              ///< a value conversion that is not implemented
    CameraNotOpen = -10,                    ///< the camera id names no open camera
    CameraNotFound = -11,                   ///< no camera matches the request
    CameraConnectionRefused = -12,          ///< the camera refused or dropped the connection
    CameraInvalidAddress = -15,             ///< the IP address is missing or not IPv4
    CameraInitializationFailed = -16,       ///< the connection could not be initialised
    CameraOpenFailed = -17,                 ///< the camera's agents could not be started
    CameraConnectTimeout = -18,             ///< connecting to the camera timed out
    ImageReceivingNotEnabled = -19,         ///< images requested before receiving was enabled
    PropertyNotFound = -20,                 ///< unknown property id, or not visible
    PropertyTypeNotConvertible = -21,       ///< a value type the converter does not handle
    PropertyTypeNotFound = -22,             ///< the property's type is unknown
    PropertyWrongType = -23,                ///< the value's type differs from the property's
    PropertyNotOnCamera = -24,              ///< the camera's property list has no such id
    PropertySetFailed = -25,                ///< the camera did not accept the value
    PropertyOutOfRange = -38,               ///< the value lies outside the range
    PropertyValueNotInList = -39,           ///< the value is not in the value list
    NotificationAlreadyExists = -40,        ///< the same notification enabled twice
    NotificationTimeout = -41,              ///< waiting for a notification timed out
    InternalStateError = -42,               ///< an inconsistent listener or event
    NotificationNotEnabled = -43,           ///< disabling a notification that is not enabled
    ListenerNotFound = -44,                 ///< waiting on an unregistered listener
    ListenerNotInitialized = -45,           ///< the listener id is not registered
    EventDataNotAvailable = -47,            ///< the event carries no data of that kind
    ImageReceiveTimeout = -60,              ///< a pending image wait timed out
    ImageReceiveWokenUp = -62,              ///< a pending image wait was woken
    ConnectionLimitReached = -90,           ///< the camera's connection limit is reached
    AuthenticationFailed = -91,             ///< authentication code missing or incorrect
    AnotherThreadPending = -100,            ///< another thread already waits on the listener
    FileAccessDenied = -110,                ///< no such file, or the upload is refused
    FeatureNotAvailable = -120,             ///< the camera's firmware lacks the feature
    SubscriptionOptionsIncompatible = -130, ///< options that cannot be combined
    PropertyDisabled = -200,                ///< a set on a disabled property
    PropertyReadOnly = -201,                ///< a set on a read-only property
};

/// Base of every exception of the C++ interface: a text (what()) and the
/// ErrorCode it was thrown for. Copyable; reentrant.
class TAVRIN_API SdkException : public std::runtime_error
{
public:
    /// The text is a copy of the calling thread's last-error message at this
    /// moment; the code is code. Throws std::bad_alloc only.
    explicit SdkException(ErrorCode code = GeneralError);
    /// The text is a copy of message (null is the empty text). Throws
    /// std::bad_alloc only.
    SdkException(const char* message, ErrorCode code);
    SdkException(const SdkException&) = default;
    SdkException(SdkException&&) = default;
    SdkException& operator=(const SdkException&) = default;
    SdkException& operator=(SdkException&&) = default;
    ~SdkException() override;

    /// The code the exception was built with.
    ErrorCode Code() const noexcept { return m_code; }

private:
    ErrorCode m_code;
};

// Each subclass below adds nothing to SdkException: its ErrorCode constructor
// takes the text from the calling thread's last-error message.
#define TAVRIN_SDK_EXCEPTION(Name)                                                                           \
    class TAVRIN_API Name : public SdkException                                                              \
    {                                                                                                        \
    public:                                                                                                  \
        explicit Name(ErrorCode code);                                                                       \
        Name(const Name&) = default;                                                                         \
        Name(Name&&) = default;                                                                              \
        Name& operator=(const Name&) = default;                                                              \
        Name& operator=(Name&&) = default;                                                                   \
        ~Name() override;                                                                                    \
    }

TAVRIN_SDK_EXCEPTION(SdkNotOpenExc);                   ///< -3
TAVRIN_SDK_EXCEPTION(SdkNoFactoryExc);                 ///< -4
TAVRIN_SDK_EXCEPTION(SdkFactoryErrorExc);              ///< -5
TAVRIN_SDK_EXCEPTION(SdkNotYetImplementedExc);         ///< -6
TAVRIN_SDK_EXCEPTION(CameraNotOpenExc);                ///< -10
TAVRIN_SDK_EXCEPTION(SdkCameraNotFoundExc);            ///< -11
TAVRIN_SDK_EXCEPTION(CameraCouldNotConnectExc);        ///< -12, -15, -16, -17, -18
TAVRIN_SDK_EXCEPTION(PropertyNotFoundExc);             ///< -20
TAVRIN_SDK_EXCEPTION(PropertyTypeNotFoundExc);         ///< -22
TAVRIN_SDK_EXCEPTION(PropertyWrongTypeExc);            ///< -23
TAVRIN_SDK_EXCEPTION(PropertySetFailedException);      ///< -25
TAVRIN_SDK_EXCEPTION(PropertyOutOfRangeException);     ///< -38
TAVRIN_SDK_EXCEPTION(PropertyValueNotInListException); ///< -39
TAVRIN_SDK_EXCEPTION(NotificationAlreadyExistsExc);    ///< -40
TAVRIN_SDK_EXCEPTION(NotificationTimeoutExc);          ///< -41
TAVRIN_SDK_EXCEPTION(AnotherThreadPendingExc);         ///< -100
TAVRIN_SDK_EXCEPTION(FeatureIsNotAvailable);           ///< -120
TAVRIN_SDK_EXCEPTION(IncompatibleSubscriptionOptions); ///< -130

#undef TAVRIN_SDK_EXCEPTION

/// -60 and -62: a pending image wait that timed out or was woken. Its text is
/// the one given, not the thread's last-error message.
class TAVRIN_API ImageReceiveTimeoutExc : public SdkException
{
public:
    /// The text is a copy of message (null is the empty text).
    ImageReceiveTimeoutExc(ErrorCode code, const char* message);
    ImageReceiveTimeoutExc(const ImageReceiveTimeoutExc&) = default;
    ImageReceiveTimeoutExc(ImageReceiveTimeoutExc&&) = default;
    ImageReceiveTimeoutExc& operator=(const ImageReceiveTimeoutExc&) = default;
    ImageReceiveTimeoutExc& operator=(ImageReceiveTimeoutExc&&) = default;
    ~ImageReceiveTimeoutExc() override;
};

/// Returns when code is 0. Otherwise throws the exception of its family, built
/// with code: -3 SdkNotOpenExc, -4 SdkNoFactoryExc, -5 SdkFactoryErrorExc, -6
/// SdkNotYetImplementedExc, -10 CameraNotOpenExc, -11 SdkCameraNotFoundExc,
/// -12/-15/-16/-17/-18 CameraCouldNotConnectExc, -20 PropertyNotFoundExc, -22
/// PropertyTypeNotFoundExc, -23 PropertyWrongTypeExc, -25
/// PropertySetFailedException, -38 PropertyOutOfRangeException, -39
/// PropertyValueNotInListException, -40 NotificationAlreadyExistsExc, -41
/// NotificationTimeoutExc, -60 ImageReceiveTimeoutExc "pending wait call timed
/// out", -62 ImageReceiveTimeoutExc "pending thread was woken", -100
/// AnotherThreadPendingExc, -120 FeatureIsNotAvailable, -130
/// IncompatibleSubscriptionOptions; any other code a plain SdkException. The
/// text is the calling thread's last-error message (except -60 and -62), so call
/// it on the thread that made the failed flat call, before its next one. Where
/// that call recorded an empty message (-43 from DisableNotification, -3 from
/// WaitForNotification after CloseSdk, ...), the text is the code's standard
/// text instead ("The notification is not enabled", "The SDK is not open",
/// ...), so that no exception of this function has an empty what(). Reentrant.
TAVRIN_API void ThrowOnErrorCode(ErrorCode code);

} // namespace Q7::Tavrin
