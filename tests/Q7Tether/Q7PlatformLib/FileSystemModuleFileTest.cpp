// Loading shared objects and looking up their symbols.

#include "LogCapture.h"
#include "Q7PlatformModuleFile_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using Q7::Platform::ModuleFile_Posix;
using Q7::Platform::SystemError_Posix;
using Q7::Universal::ModuleError;
using TestSupport::LogCapture;

namespace
{
// A library every glibc system has, found by the dynamic loader's search.
constexpr const wchar_t* kMathLibrary = L"libm.so.6";
} // namespace

TEST(FileSystemModuleFile, LoadsALibraryAndFindsItsFunctions)
{
    ModuleFile_Posix module;
    EXPECT_FALSE(module.IsLoaded());
    ASSERT_TRUE(module.Load(kMathLibrary, true));
    EXPECT_TRUE(module.IsLoaded());
    using Unary = double (*)(double);
    auto* floorFunction = reinterpret_cast<Unary>(module.GetFunctionAddress("floor"));
    ASSERT_NE(floorFunction, nullptr);
    EXPECT_EQ(floorFunction(2.5), 2.0);
    module.Free();
    EXPECT_FALSE(module.IsLoaded());
}

TEST(FileSystemModuleFile, MissingLibraryAnswersFalseWithoutThrowing)
{
    ModuleFile_Posix module;
    EXPECT_FALSE(module.Load(L"libq7-does-not-exist.so", false));
    EXPECT_FALSE(module.IsLoaded());
}

TEST(FileSystemModuleFile, MissingLibraryRaisesWithThePathWhenAsked)
{
    ModuleFile_Posix module;
    const wchar_t* path = L"/nonexistent-q7/libnothing.so";
    LogCapture log;
    try
    {
        module.Load(path, true);
        FAIL() << "no error raised";
    }
    catch (const SystemError_Posix& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<uint32_t>(ENOENT));
        EXPECT_STREQ(error.GetContext().c_str(), path);
    }
    EXPECT_EQ(log.Count(L"dlopen failed.", Q7::Universal::kLogMsgType_Error), 1u);
}

// Catches dlopen(NULL), which would hand out the running program itself.
TEST(FileSystemModuleFile, EmptyPathIsAFailure)
{
    ModuleFile_Posix module;
    EXPECT_FALSE(module.Load(L"", false));
    EXPECT_FALSE(module.Load(nullptr, false));
    EXPECT_THROW(module.Load(L"", true), SystemError_Posix);
}

TEST(FileSystemModuleFile, LoadFreesTheLibraryHeldBefore)
{
    ModuleFile_Posix module;
    ASSERT_TRUE(module.Load(kMathLibrary, false));
    EXPECT_FALSE(module.Load(L"libq7-does-not-exist.so", false));
    EXPECT_FALSE(module.IsLoaded());
}

TEST(FileSystemModuleFile, MissingSymbolRaisesWithTheName)
{
    ModuleFile_Posix module;
    ASSERT_TRUE(module.Load(kMathLibrary, false));
    try
    {
        module.GetFunctionAddress("q7_no_such_function");
        FAIL() << "no error raised";
    }
    catch (const SystemError_Posix& error)
    {
        EXPECT_STREQ(error.GetContext().c_str(), L"q7_no_such_function");
    }
}

TEST(FileSystemModuleFile, LookupBeforeLoadIsRefused)
{
    ModuleFile_Posix module;
    LogCapture log;
    try
    {
        module.GetFunctionAddress("floor");
        FAIL() << "no error raised";
    }
    catch (const ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650069u);
        EXPECT_STREQ(error.GetContext().c_str(), L"Load() must be called before GetFunctionAddress().");
    }
    EXPECT_EQ(log.Count(L"Load() must be called before GetFunctionAddress().",
                        Q7::Universal::kLogMsgType_InternalError),
              1u);
}
