// Texts and lists of the flat interface and the object factories; the cases
// that open and close the SDK run in processes of their own.

#include "DefaultFactory.h"
#include "ProcessChecks.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/ObjectFactory.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Q7::Tavrin::EnsureOpen;
using Q7::Tavrin::SdkNoFactory;
using Q7::Tavrin::SdkNotOpen;
using namespace Q7::TavrinC;
using TestSupport::ProcessCase;
using TestSupport::ProcessChecks;
using TestSupport::SdkLogCapture;

namespace
{

// A text that counts its releases.
class CountingString final : public IString
{
public:
    explicit CountingString(int& releases) : m_releases(releases) {}
    ~CountingString() override = default;
    bool Set(const char*, std::uint32_t) override { return false; }
    const char* CStr() const override { return ""; }
    std::uint32_t Length() const override { return 0; }
    void Release() override { ++m_releases; }

private:
    int& m_releases;
};

struct ReleaseRow
{
    const char* name;
    std::function<void(int& releases)> run; // fills a list of two elements, clears or drops it
    int releases;
};

// Catches a Vector that leaves texts unreleased (or releases a null one), a
// VectorSimple that touches its elements' texts, and a destroyed Vector whose
// texts leak.
TEST(ObjectFactoryTest, ListsReleaseTheTextsTheyOwn)
{
    const auto camera =
        [](std::vector<std::unique_ptr<CountingString>>& texts, int& releases, bool withAddress)
    {
        CameraSpecification entry;
        entry.name = texts.emplace_back(std::make_unique<CountingString>(releases)).get();
        entry.serialNumber = texts.emplace_back(std::make_unique<CountingString>(releases)).get();
        entry.address =
            withAddress ? texts.emplace_back(std::make_unique<CountingString>(releases)).get() : nullptr;
        return entry;
    };
    const std::vector<ReleaseRow> rows = {
        {"Vector<CameraSpecification>::Clear",
         [&](int& releases)
         {
             std::vector<std::unique_ptr<CountingString>> texts;
             Vector<CameraSpecification> list;
             list.PushBack(camera(texts, releases, true));
             list.PushBack(camera(texts, releases, true));
             list.Clear();
             EXPECT_EQ(list.Size(), 0u);
         },
         6},
        {"a USB entry has no address to release",
         [&](int& releases)
         {
             std::vector<std::unique_ptr<CountingString>> texts;
             Vector<CameraSpecification> list;
             list.PushBack(camera(texts, releases, false));
             list.ReleaseAll();
         },
         2},
        {"VectorSimple<CameraSpecification>::Clear",
         [&](int& releases)
         {
             std::vector<std::unique_ptr<CountingString>> texts;
             VectorSimple<CameraSpecification> list;
             list.PushBack(camera(texts, releases, true));
             list.PushBack(camera(texts, releases, true));
             list.Clear();
             list.ReleaseAll();
         },
         0},
        {"a destroyed Vector<PropertyValue>",
         [&](int& releases)
         {
             std::vector<std::unique_ptr<CountingString>> texts;
             auto list = std::make_unique<Vector<PropertyValue>>();
             for (int i = 0; i < 2; ++i)
             {
                 PropertyValue value;
                 value.textValue = texts.emplace_back(std::make_unique<CountingString>(releases)).get();
                 value.displayText = texts.emplace_back(std::make_unique<CountingString>(releases)).get();
                 list->PushBack(value);
             }
             std::unique_ptr<IVector<PropertyValue>> asInterface(list.release());
         },
         4},
    };
    for (const ReleaseRow& row : rows)
    {
        int releases = 0;
        row.run(releases);
        EXPECT_EQ(releases, row.releases) << row.name;
    }
}

// Catches -1 or Size() taken for an element, and Get writing out when it fails.
TEST(ObjectFactoryTest, AtAndGetOutOfRange)
{
    VectorSimple<PropertyValue> list;
    ASSERT_TRUE(list.Reserve(4));
    PropertyValue value;
    for (std::int64_t i = 1; i <= 3; ++i)
    {
        value.intValue = i * 10;
        ASSERT_TRUE(list.PushBack(value));
    }
    for (const int index : {-1, INT_MIN, 3, 4, INT_MAX})
    {
        PropertyValue out;
        out.intValue = 99;
        EXPECT_EQ(list.At(index), nullptr) << index;
        EXPECT_FALSE(list.Get(index, out)) << index;
        EXPECT_EQ(out.intValue, 99) << index;
    }
    PropertyValue out;
    ASSERT_TRUE(list.Get(2, out));
    EXPECT_EQ(out.intValue, 30);
    ASSERT_NE(list.At(0), nullptr);
    EXPECT_EQ(list.At(0)->intValue, 10);
}

// Catches a Set that keeps an old text on failure, misses the length, or
// claims success for nothing; a DeleteString that frees what it did not make.
TEST(ObjectFactoryTest, StringsOfTheDefaultFactory)
{
    auto* factory = new DefaultFactory();
    IString* text = factory->CreateString();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->Set("abcdef", 3));
    EXPECT_EQ(std::string(text->CStr()), "abc");
    EXPECT_EQ(text->Length(), 3u);
    EXPECT_FALSE(text->Set("abc", 0));
    EXPECT_EQ(text->Length(), 0u);
    EXPECT_TRUE(text->Set("x", 1));
    EXPECT_FALSE(text->Set(nullptr, 5));
    EXPECT_EQ(std::string(text->CStr()), "");

    int releases = 0;
    CountingString foreign(releases);
    EXPECT_TRUE(factory->DeleteString(nullptr));
    EXPECT_FALSE(factory->DeleteString(&foreign));
    EXPECT_TRUE(factory->DeleteString(text));
    EXPECT_FALSE(factory->DeleteString(text)) << "freed twice";

    std::unique_ptr<IVector<PropertyValue>> list(factory->CreateVector());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Size(), 0u);
    SdkLogCapture capture;
    factory->Terminate();
    EXPECT_TRUE(capture.Lines().empty());
}

// A string alive at CloseSdk: reported once, and released afterwards without
// touching the ended factory (asan: no use after free, no leak).
void StringAliveAtClose(ProcessChecks& check)
{
    OpenSdk();
    check.Equal(static_cast<int>(RegisterDefaultFactory()), 0, "RegisterDefaultFactory");
    ObjectFactory* factory = nullptr;
    check.Equal(static_cast<int>(GetFactory(factory)), 0, "GetFactory");
    if (factory == nullptr)
    {
        return;
    }
    IString* kept = factory->CreateString();
    IString* released = factory->CreateString();
    kept->Set("left behind", 11);
    released->Set("handed back", 11);
    released->Release();
    SdkLogCapture capture;
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    check.Equal(capture.Count("DefaultFactory: Undeleted string: \"left behind\"\n"), 1L, "undeleted line");
    check.Equal(capture.Count("DefaultFactory: Undeleted string: \"handed back\"\n"), 0L, "released string");
    check.Equal(std::string(kept->CStr()), std::string("left behind"), "a kept text stays readable");
    kept->Release();
}

// Run under tsan and asan, which judge it: strings released on another thread
// while the SDK closes and ends their factory; a release that races the end
// must neither use the freed factory nor free a string twice, and every string
// is freed in the end (no leak).
void ReleasesRaceTheClose(ProcessChecks&)
{
    constexpr int kStrings = 2000;
    OpenSdk();
    RegisterDefaultFactory();
    ObjectFactory* factory = nullptr;
    GetFactory(factory);
    std::vector<IString*> strings;
    for (int i = 0; i < kStrings; ++i)
    {
        strings.push_back(factory->CreateString());
        strings.back()->Set("s", 1);
    }
    std::thread releaser(
        [&]
        {
            for (IString* string : strings)
            {
                string->Release();
            }
        });
    CloseSdk(false);
    releaser.join();
}

// Catches a default factory remembered although registering it failed (no SDK
// yet), so that every later call reports success with no factory set.
void RegisterDefaultFactoryBeforeAndAfterOpen(ProcessChecks& check)
{
    check.Equal(static_cast<int>(RegisterDefaultFactory()), static_cast<int>(SdkNotOpen), "before OpenSdk");
    OpenSdk();
    ObjectFactory* factory = nullptr;
    check.Equal(static_cast<int>(GetFactory(factory)), static_cast<int>(SdkNoFactory),
                "GetFactory unregistered");
    check.LastError(SdkNoFactory, "", "GetFactory records");
    check.Equal(static_cast<int>(RegisterDefaultFactory()), 0, "after OpenSdk");
    check.Equal(static_cast<int>(GetFactory(factory)), 0, "GetFactory registered");
    ObjectFactory* first = factory;
    check.True(first != nullptr, "a factory is set");
    check.Equal(static_cast<int>(RegisterDefaultFactory()), 0, "a second time");
    check.Equal(static_cast<int>(GetFactory(factory)), 0, "GetFactory again");
    check.True(factory == first, "one factory");
}

// Catches an opener that opens the SDK without registering the default factory.
void EnsureOpenRegistersTheDefaultFactory(ProcessChecks& check)
{
    EnsureOpen();
    ObjectFactory* factory = nullptr;
    check.Equal(static_cast<int>(GetFactory(factory)), 0, "GetFactory after EnsureOpen");
    check.True(factory != nullptr, "a factory is set");
}

class ObjectFactoryProcessTest : public ::testing::TestWithParam<ProcessCase>
{
};

TEST_P(ObjectFactoryProcessTest, RunsInItsOwnProcess)
{
    TestSupport::RunInOwnProcess(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, ObjectFactoryProcessTest,
                         ::testing::Values(ProcessCase{"StringAliveAtClose", &StringAliveAtClose, ""},
                                           ProcessCase{"ReleasesRaceTheClose", &ReleasesRaceTheClose, ""},
                                           ProcessCase{"RegisterDefaultFactoryBeforeAndAfterOpen",
                                                       &RegisterDefaultFactoryBeforeAndAfterOpen, ""},
                                           ProcessCase{"EnsureOpenRegistersTheDefaultFactory",
                                                       &EnsureOpenRegistersTheDefaultFactory, ""}),
                         TestSupport::ProcessCaseName);

} // namespace
