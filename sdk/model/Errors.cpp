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

void ThrowOnErrorCode(ErrorCode code)
{
    switch (code)
    {
    case Success:
        return;
    case SdkNotOpen:
        throw SdkNotOpenExc(code);
    case SdkNoFactory:
        throw SdkNoFactoryExc(code);
    case SdkFactoryError:
        throw SdkFactoryErrorExc(code);
    case SdkNotYetImplemented:
        throw SdkNotYetImplementedExc(code);
    case CameraNotOpen:
        throw CameraNotOpenExc(code);
    case CameraNotFound:
        throw SdkCameraNotFoundExc(code);
    case CameraConnectionRefused:
    case CameraInvalidAddress:
    case CameraInitializationFailed:
    case CameraOpenFailed:
    case CameraConnectTimeout:
        throw CameraCouldNotConnectExc(code);
    case PropertyNotFound:
        throw PropertyNotFoundExc(code);
    case PropertyTypeNotFound:
        throw PropertyTypeNotFoundExc(code);
    case PropertyWrongType:
        throw PropertyWrongTypeExc(code);
    case PropertySetFailed:
        throw PropertySetFailedException(code);
    case PropertyOutOfRange:
        throw PropertyOutOfRangeException(code);
    case PropertyValueNotInList:
        throw PropertyValueNotInListException(code);
    case NotificationAlreadyExists:
        throw NotificationAlreadyExistsExc(code);
    case NotificationTimeout:
        throw NotificationTimeoutExc(code);
    case ImageReceiveTimeout:
        throw ImageReceiveTimeoutExc(code, "pending wait call timed out");
    case ImageReceiveWokenUp:
        throw ImageReceiveTimeoutExc(code, "pending thread was woken");
    case AnotherThreadPending:
        throw AnotherThreadPendingExc(code);
    case FeatureNotAvailable:
        throw FeatureIsNotAvailable(code);
    case SubscriptionOptionsIncompatible:
        throw IncompatibleSubscriptionOptions(code);
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
    throw SdkException(code);
}

} // namespace Q7::Tavrin
