#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace
{

// Catches a wrong version, build texts in another form than documented, and
// facade functions that do not forward.
TEST(SdkVersionTest, VersionAndBuildTexts)
{
    const Q7::Tavrin::Version version = Q7::TavrinC::GetSdkVersion();
    EXPECT_EQ(version.major, 3u);
    EXPECT_EQ(version.minor, 1u);
    EXPECT_EQ(version.patch, 8u);
    EXPECT_TRUE(std::regex_match(Q7::TavrinC::GetSdkBuildCompiler(), std::regex("[A-Za-z]+ [0-9.]+")))
        << Q7::TavrinC::GetSdkBuildCompiler();
    EXPECT_TRUE(std::regex_match(Q7::TavrinC::GetSdkBuildDate(),
                                 std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << Q7::TavrinC::GetSdkBuildDate();
    EXPECT_TRUE(std::regex_match(Q7::TavrinC::GetSdkBuildHash(), std::regex("[0-9a-f]{8}")))
        << Q7::TavrinC::GetSdkBuildHash();
    EXPECT_EQ(Q7::Tavrin::GetSdkVersion().patch, 8u);
    EXPECT_STREQ(Q7::Tavrin::GetSdkBuildCompiler(), Q7::TavrinC::GetSdkBuildCompiler());
    EXPECT_STREQ(Q7::Tavrin::GetSdkBuildDate(), Q7::TavrinC::GetSdkBuildDate());
    EXPECT_STREQ(Q7::Tavrin::GetSdkBuildHash(), Q7::TavrinC::GetSdkBuildHash());
}

} // namespace
