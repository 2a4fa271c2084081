#include "LastError.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <typeinfo>
#include <utility>

using namespace Q7::Tavrin;
using Q7::TavrinC::SetLastErrorInfo;

namespace
{

struct Mapping
{
    int code;
    const std::type_info* type; // the exact class ThrowOnErrorCode must throw
};

void PrintTo(const Mapping& mapping, std::ostream* out)
{
    *out << mapping.code << " -> " << mapping.type->name();
}

class ThrowOnErrorCodeTest : public ::testing::TestWithParam<Mapping>
{
};

// Catches a code thrown as the wrong class (or as a base class), a lost code,
// or a text that is not the thread's last message.
TEST_P(ThrowOnErrorCodeTest, ThrowsTheFamilyOfTheCodeWithTheLastMessage)
{
    const Mapping& mapping = GetParam();
    const auto code = static_cast<ErrorCode>(mapping.code);
    const std::string message = "last message of " + std::to_string(mapping.code);
    SetLastErrorInfo(code, message.c_str(), "ThrowOnErrorCodeTest");
    std::string expectedText = message;
    if (code == ImageReceiveTimeout)
    {
        expectedText = "pending wait call timed out";
    }
    else if (code == ImageReceiveWokenUp)
    {
        expectedText = "pending thread was woken";
    }
    try
    {
        ThrowOnErrorCode(code);
        ADD_FAILURE() << "nothing thrown";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(typeid(e), *mapping.type) << typeid(e).name();
        EXPECT_EQ(e.Code(), code);
        EXPECT_EQ(std::string(e.what()), expectedText);
    }
}

// Catches an exception with an empty what() after a flat call that recorded an
// empty message (-43 from DisableNotification, -3 from WaitForNotification
// after the close), or one whose class or code changes when its text does.
TEST_P(ThrowOnErrorCodeTest, WithAnEmptyMessageCarriesTheStandardTextOfItsCode)
{
    const Mapping& mapping = GetParam();
    const auto code = static_cast<ErrorCode>(mapping.code);
    SetLastErrorInfo(code, "", "ThrowOnErrorCodeTest");
    try
    {
        ThrowOnErrorCode(code);
        ADD_FAILURE() << "nothing thrown";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(typeid(e), *mapping.type) << typeid(e).name();
        EXPECT_EQ(e.Code(), code);
        EXPECT_STRNE(e.what(), "");
        const std::pair<ErrorCode, const char*> known[] = {
            {NotificationNotEnabled, "The notification is not enabled"},
            {SdkNotOpen, "The SDK is not open"},
            {CameraNotOpen, "The camera is not open"},
            {PropertySetFailed,
             "Property was not set because it might not exist, is read only, disabled, etc."},
            {ImageReceiveTimeout, "pending wait call timed out"},
        };
        for (const auto& [knownCode, text] : known)
        {
            if (knownCode == code)
            {
                EXPECT_STREQ(e.what(), text);
            }
        }
    }
    EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "") << "the thread's record is left as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Families, ThrowOnErrorCodeTest,
    ::testing::Values(
        Mapping{-3, &typeid(SdkNotOpenExc)}, Mapping{-4, &typeid(SdkNoFactoryExc)},
        Mapping{-5, &typeid(SdkFactoryErrorExc)}, Mapping{-6, &typeid(SdkNotYetImplementedExc)},
        Mapping{-10, &typeid(CameraNotOpenExc)}, Mapping{-11, &typeid(SdkCameraNotFoundExc)},
        Mapping{-12, &typeid(CameraCouldNotConnectExc)}, Mapping{-15, &typeid(CameraCouldNotConnectExc)},
        Mapping{-16, &typeid(CameraCouldNotConnectExc)}, Mapping{-17, &typeid(CameraCouldNotConnectExc)},
        Mapping{-18, &typeid(CameraCouldNotConnectExc)}, Mapping{-20, &typeid(PropertyNotFoundExc)},
        Mapping{-22, &typeid(PropertyTypeNotFoundExc)}, Mapping{-23, &typeid(PropertyWrongTypeExc)},
        Mapping{-25, &typeid(PropertySetFailedException)}, Mapping{-38, &typeid(PropertyOutOfRangeException)},
        Mapping{-39, &typeid(PropertyValueNotInListException)},
        Mapping{-40, &typeid(NotificationAlreadyExistsExc)}, Mapping{-41, &typeid(NotificationTimeoutExc)},
        Mapping{-60, &typeid(ImageReceiveTimeoutExc)}, Mapping{-62, &typeid(ImageReceiveTimeoutExc)},
        Mapping{-100, &typeid(AnotherThreadPendingExc)}, Mapping{-120, &typeid(FeatureIsNotAvailable)},
        Mapping{-130, &typeid(IncompatibleSubscriptionOptions)}));

// Every code without a family, and values outside the enumeration, fall
// through to a plain SdkException.
INSTANTIATE_TEST_SUITE_P(
    FallThrough, ThrowOnErrorCodeTest,
    ::testing::Values(Mapping{-1, &typeid(SdkException)}, Mapping{-19, &typeid(SdkException)},
                      Mapping{-21, &typeid(SdkException)}, Mapping{-24, &typeid(SdkException)},
                      Mapping{-42, &typeid(SdkException)}, Mapping{-43, &typeid(SdkException)},
                      Mapping{-44, &typeid(SdkException)}, Mapping{-45, &typeid(SdkException)},
                      Mapping{-47, &typeid(SdkException)}, Mapping{-90, &typeid(SdkException)},
                      Mapping{-91, &typeid(SdkException)}, Mapping{-110, &typeid(SdkException)},
                      Mapping{-200, &typeid(SdkException)}, Mapping{-201, &typeid(SdkException)},
                      Mapping{-7, &typeid(SdkException)}, Mapping{5, &typeid(SdkException)},
                      Mapping{INT_MIN, &typeid(SdkException)}));

// Catches a success thrown as a failure, a wrong default code, a null text
// that crashes, and copies that lose the code or the text.
TEST(SdkExceptionTest, ConstructorsKeepCodeAndText)
{
    SetLastErrorInfo(GeneralError, "the last message", "SdkExceptionTest");
    EXPECT_NO_THROW(ThrowOnErrorCode(Success));
    const SdkException byDefault;
    EXPECT_EQ(byDefault.Code(), GeneralError);
    EXPECT_STREQ(byDefault.what(), "the last message");

    const SdkException fromNull(nullptr, PropertyDisabled);
    EXPECT_EQ(fromNull.Code(), PropertyDisabled);
    EXPECT_STREQ(fromNull.what(), "");

    const ImageReceiveTimeoutExc timeoutFromNull(ImageReceiveTimeout, nullptr);
    EXPECT_STREQ(timeoutFromNull.what(), "");

    CameraNotOpenExc original(CameraNotOpen);
    SetLastErrorInfo(Success, "", "SdkExceptionTest");
    const CameraNotOpenExc copy(original);
    const CameraNotOpenExc moved(std::move(original));
    for (const SdkException* e :
         {static_cast<const SdkException*>(&copy), static_cast<const SdkException*>(&moved)})
    {
        EXPECT_EQ(e->Code(), CameraNotOpen);
        EXPECT_STREQ(e->what(), "the last message");
    }
}

} // namespace
