#include <TavrinCpp/Errors.h>
#include <TavrinCpp/TavrinC.h>

namespace Q7::Tavrin
{

SdkException::SdkException(ErrorCode code) : std::runtime_error(Q7::TavrinC::GetErrorMessage()), m_code(code)
{
}

SdkException::SdkException(const char* message, ErrorCode code)
    : std::runtime_error(message != nullptr ? message : ""), m_code(code)
{
}

SdkException::~SdkException() = default;

// The subclasses' constructors and destructors live here, so their type
// information and virtual tables exist once, in the library.
#define TAVRIN_SDK_EXCEPTION_BODY(Name)                                                                      \
    Name::Name(ErrorCode code) : SdkException(code) {}                                                       \
    Name::~Name() = default;

TAVRIN_SDK_EXCEPTION_BODY(SdkNotOpenExc)
TAVRIN_SDK_EXCEPTION_BODY(SdkNoFactoryExc)
TAVRIN_SDK_EXCEPTION_BODY(SdkFactoryErrorExc)
TAVRIN_SDK_EXCEPTION_BODY(SdkNotYetImplementedExc)
TAVRIN_SDK_EXCEPTION_BODY(CameraNotOpenExc)
TAVRIN_SDK_EXCEPTION_BODY(SdkCameraNotFoundExc)
TAVRIN_SDK_EXCEPTION_BODY(CameraCouldNotConnectExc)
TAVRIN_SDK_EXCEPTION_BODY(PropertyNotFoundExc)
TAVRIN_SDK_EXCEPTION_BODY(PropertyTypeNotFoundExc)
TAVRIN_SDK_EXCEPTION_BODY(PropertyWrongTypeExc)
TAVRIN_SDK_EXCEPTION_BODY(PropertySetFailedException)
TAVRIN_SDK_EXCEPTION_BODY(PropertyOutOfRangeException)
TAVRIN_SDK_EXCEPTION_BODY(PropertyValueNotInListException)
TAVRIN_SDK_EXCEPTION_BODY(NotificationAlreadyExistsExc)
TAVRIN_SDK_EXCEPTION_BODY(NotificationTimeoutExc)
TAVRIN_SDK_EXCEPTION_BODY(AnotherThreadPendingExc)
TAVRIN_SDK_EXCEPTION_BODY(FeatureIsNotAvailable)
TAVRIN_SDK_EXCEPTION_BODY(IncompatibleSubscriptionOptions)

#undef TAVRIN_SDK_EXCEPTION_BODY

ImageReceiveTimeoutExc::ImageReceiveTimeoutExc(ErrorCode code, const char* message)
    : SdkException(message, code)
{
}

ImageReceiveTimeoutExc::~ImageReceiveTimeoutExc() = default;

namespace
{

// The text an exception carries for its code when the failed call recorded an
// empty message: the code's own text where the library has one, else what the
// code means.
const char* StandardText(ErrorCode code) noexcept
{
    switch (code)
    {
    case Success:
        return "";
    case GeneralError:
        return "Internal error in camera transport layer (See log for details).";
    case SdkNotOpen:
        return "The SDK is not open";
    case SdkNoFactory:
        return "No object factory has been initialized";
    case SdkFactoryError:
        return "The object factory failed";
    case SdkNotYetImplemented:
        return "The value conversion is not implemented";
    case CameraNotOpen:
        return "The camera is not open";
    case CameraNotFound:
        return "No such camera found";
    case CameraConnectionRefused:
        return "Host (camera) actively refused the connection, or intentionally disconnected!";
    case CameraInvalidAddress:
        return "Provided IP is not a valid IPv4 address";
    case CameraInitializationFailed:
        return "Camera initialization failed!";
    case CameraOpenFailed:
        return "Camera open failed!";
    case CameraConnectTimeout:
        return "Timed out while connecting to Camera!";
    case ImageReceivingNotEnabled:
        return "You must enable image receiving, before requesting images";
    case PropertyNotFound:
        return "Could not find property with provided id";
    case PropertyTypeNotConvertible:
        return "Cannot convert KPX subsystem property value type";
    case PropertyTypeNotFound:
        return "The property's type is unknown";
    case PropertyWrongType:
        return "PropertyValue is not the same Type as the Property";
    case PropertyNotOnCamera:
        return "Could not find property with provided id";
    case PropertySetFailed:
        return "Property was not set because it might not exist, is read only, disabled, etc.";
    case PropertyOutOfRange:
        return "The value lies outside the property's range";
    case PropertyValueNotInList:
        return "The value is not in the property's value list";
    case NotificationAlreadyExists:
        return "The same notification cannot be enabled more than once";
    case NotificationTimeout:
        return "Timed out while waiting for a notification";
    case InternalStateError:
        return "Internal state error";
    case NotificationNotEnabled:
        return "The notification is not enabled";
    case ListenerNotFound:
        return "No such listener";
    case ListenerNotInitialized:
        return "The listener is not initialized";
    case EventDataNotAvailable:
        return "This event type does not contain the data asked for";
    case ImageReceiveTimeout:
        return "pending wait call timed out";
    case ImageReceiveWokenUp:
        return "pending thread was woken";
    case ConnectionLimitReached:
        return "Camera rejected connection: Limit of open connections reached.";
    case AuthenticationFailed:
        return "Camera rejected connection: Authentication code missing or incorrect.";
    case AnotherThreadPending:
        return "Another thread is already waiting for notifications on this listener";
    case FileAccessDenied:
        return "The camera denied access to the file";
    case FeatureNotAvailable:
        return "Feature not supported on camera firmware.";
    case SubscriptionOptionsIncompatible:
        return "The subscription options cannot be combined";
    case PropertyDisabled:
        return "Property is disabled";
    case PropertyReadOnly:
        return "Property is marked as read-only";
    }
    return "Unknown error code";
}

// Throws Exception built for code: its text is the calling thread's last-error
// message, or the code's standard text when that message is empty.
template <typename Exception>
[[noreturn]] void Throw(ErrorCode code)
{
    const char* message = Q7::TavrinC::GetErrorMessage();
    if (message != nullptr && *message != '\0')
    {
        throw Exception(code);
    }
    Exception exception(code);
    // The subclasses add no data: the base holds the whole of their state.
    static_cast<SdkException&>(exception) = SdkException(StandardText(code), code);
    throw exception;
}

} // namespace

void ThrowOnErrorCode(ErrorCode code)
{
    switch (code)
    {
    case Success:
        return;
    case SdkNotOpen:
        Throw<SdkNotOpenExc>(code);
    case SdkNoFactory:
        Throw<SdkNoFactoryExc>(code);
    case SdkFactoryError:
        Throw<SdkFactoryErrorExc>(code);
    case SdkNotYetImplemented:
        Throw<SdkNotYetImplementedExc>(code);
    case CameraNotOpen:
        Throw<CameraNotOpenExc>(code);
    case CameraNotFound:
        Throw<SdkCameraNotFoundExc>(code);
    case CameraConnectionRefused:
    case CameraInvalidAddress:
    case CameraInitializationFailed:
    case CameraOpenFailed:
    case CameraConnectTimeout:
        Throw<CameraCouldNotConnectExc>(code);
    case PropertyNotFound:
        Throw<PropertyNotFoundExc>(code);
    case PropertyTypeNotFound:
        Throw<PropertyTypeNotFoundExc>(code);
    case PropertyWrongType:
        Throw<PropertyWrongTypeExc>(code);
    case PropertySetFailed:
        Throw<PropertySetFailedException>(code);
    case PropertyOutOfRange:
        Throw<PropertyOutOfRangeException>(code);
    case PropertyValueNotInList:
        Throw<PropertyValueNotInListException>(code);
    case NotificationAlreadyExists:
        Throw<NotificationAlreadyExistsExc>(code);
    case NotificationTimeout:
        Throw<NotificationTimeoutExc>(code);
    case ImageReceiveTimeout:
        throw ImageReceiveTimeoutExc(code, "pending wait call timed out");
    case ImageReceiveWokenUp:
        throw ImageReceiveTimeoutExc(code, "pending thread was woken");
    case AnotherThreadPending:
        Throw<AnotherThreadPendingExc>(code);
    case FeatureNotAvailable:
        Throw<FeatureIsNotAvailable>(code);
    case SubscriptionOptionsIncompatible:
        Throw<IncompatibleSubscriptionOptions>(code);
    case GeneralError:
    case ImageReceivingNotEnabled:
    case PropertyTypeNotConvertible:
    case PropertyNotOnCamera:
    case InternalStateError:
    case NotificationNotEnabled:
    case ListenerNotFound:
    case ListenerNotInitialized:
    case EventDataNotAvailable:
    case ConnectionLimitReached:
    case AuthenticationFailed:
    case FileAccessDenied:
    case PropertyDisabled:
    case PropertyReadOnly:
        break;
    }
    // Listed codes without a family of their own, and every value outside the
    // enumeration.
    Throw<SdkException>(code);
}

} // namespace Q7::Tavrin
