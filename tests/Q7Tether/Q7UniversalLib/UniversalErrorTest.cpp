#include "LogCapture.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

using namespace Q7::Universal;
using TestSupport::LogCapture;

namespace
{

// While set, the allocation behind the libraries' texts sets errno (as an
// allocator may do even when it succeeds).
thread_local bool t_allocationSetsErrno = false;

} // namespace

// The allocation of the libraries' texts (new (std::nothrow) []), forwarded to
// the ordinary allocation so that every build's allocator stays in charge.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (t_allocationSetsErrno)
    {
        errno = ENOMEM;
    }
    try
    {
        return ::operator new[](size);
    }
    catch (...)
    {
        return nullptr;
    }
}

namespace
{

std::wstring Text(const UniversalError& error, const wchar_t* prefix = nullptr)
{
    return FormatErrorText(error, prefix).c_str();
}

std::wstring W(const UniversalString& s)
{
    return s.c_str();
}

class NullWhat : public std::exception
{
public:
    const char* what() const noexcept override { return nullptr; }
};

} // namespace

// ---------------------------------------------------------------- error texts

// Catches a wrong table text, category name or code split, a null what()
// dereferenced, an exception text not read as UTF-8, and a prefix or context
// put in the wrong place (or written with its " - " when empty).
TEST(UniversalErrorTest, Texts)
{
    const Q7::Platform::SystemError_Posix systemError(EACCES, L"open");
    const ModuleError withContext(0x650003, L"the details");
    const StdExceptionError utf8(std::runtime_error("bad \xC3\xA5 thing"), L"ctx");
    const std::pair<std::wstring, std::wstring> rows[] = {
        {Text(ModuleError(0x650066)), L"(101#102) General error: The current state is incorrect."},
        {Text(ModuleError(0x15E000F)), L"(350#15) Module error: Unknown error"},
        {Text(ModuleError(0x670065)),
         L"(103#101) Platform library error: A thread failed to start in the requested time."},
        {W(ModuleError(0x650099).GetMessage()), L"Unknown error"},
        {W(ModuleError(0x650099).GetCategoryName()), L"General error"},
        {GetErrorCodeText(0x650001), L"The parameter is incorrect or not supported."},
        {GetErrorCodeText(0x65006F),
         L"Access is denied. The value or resource cannot be retrieved or read from."},
        {GetErrorCodeText(0x6500CF), L"The request did not complete within the specified timeout period."},
        {GetErrorCodeText(0), L"Unknown error"},
        {GetModuleNameText(102), L"Universal library error"},
        {GetModuleNameText(304), L"Solvane camera firewire error"},
        {GetModuleNameText(0), L"Module error"},
        {Text(StdExceptionError(NullWhat())), L"(3#0) Standard exception: Unknown exception"},
        {W(utf8.GetMessage()), L"bad \xE5 thing"},
        {Text(utf8), L"(3#0) Standard exception: bad \xE5 thing - ctx"},
        {Text(StandardError(ENOENT, L"/x")), L"(2#2) Standard error: No such file or directory - /x"},
        {W(StandardError(ENOENT, nullptr).GetCategoryName()), L"Standard error"},
        {Text(systemError), L"(1#13) System error: Permission denied - open"},
        {W(systemError.GetMessage(true)), L"Permission denied"}, // the "C" locale of the test
        {Text(withContext, L"Reading"),
         L"Reading - (101#3) General error: The data is invalid. - the details"},
        {Text(ModuleError(0x650003, L""), L""), L"(101#3) General error: The data is invalid."},
        {W(withContext.GetContext()), L"the details"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
    {
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    }
}

TEST(UniversalErrorTest, DefaultModuleError)
{
    const ModuleError error;
    EXPECT_EQ(error.GetFullCode(), 0u);
    EXPECT_EQ(error.GetCategory(), 0u);
    EXPECT_EQ(error.GetCode(), 0u);
    EXPECT_EQ(W(error.GetCategoryName()), L"Module error");
    EXPECT_EQ(W(error.GetMessage()), L"Unknown error");
    EXPECT_TRUE(error.GetContext().IsEmpty());
}

// The constructors that take the current errno must read it before allocating
// their context: an allocator may change errno even when it succeeds, and the
// error would then report the allocator's number instead of the failed call's.
TEST(UniversalErrorTest, ErrnoIsTakenBeforeTheContextIsAllocated)
{
    struct Case
    {
        const char* name;
        std::uint32_t (*make)();
    };
    const Case cases[] = {
        {"StandardError", [] { return StandardError(L"open").GetCode(); }},
        {"SystemError_Posix", [] { return Q7::Platform::SystemError_Posix(L"close").GetCode(); }},
    };
    for (const Case& c : cases)
    {
        t_allocationSetsErrno = true;
        errno = EBADF;
        const std::uint32_t code = c.make();
        t_allocationSetsErrno = false;
        EXPECT_EQ(code, static_cast<std::uint32_t>(EBADF)) << c.name;
    }
}

TEST(UniversalErrorTest, CopiesKeepClassAndContext)
{
    const ModuleError original(0x650004, L"ctx");
    const ModuleError copy(original);
    EXPECT_EQ(copy.GetFullCode(), 0x650004u);
    EXPECT_EQ(W(copy.GetContext()), L"ctx");
}

// ---------------------------------------------------------------- locations

// Catches a path not cut to its last three components, a line 0 or an
// empty file written out, and a line number that overflows its text.
TEST(UniversalErrorLocationTest, Texts)
{
    const std::pair<std::wstring, std::wstring> rows[] = {
        {W(SourceLocation(L"C:\\src\\lib\\mod\\file.cpp", 248).ToString()),
         L"[ File=\"...\\lib\\mod\\file.cpp\" Line=248 ]"},
        {W(SourceLocation(L"/work/main/Q7Tether/Lib/Source/x.cpp", 7).ToString()),
         L"[ File=\"...\\Lib/Source/x.cpp\" Line=7 ]"},
        {W(SourceLocation(L"file.cpp", 0).ToString()), L"[ File=\"file.cpp\" ]"},
        {W(SourceLocation(L"a/b/c", 3).ToString()), L"[ File=\"a/b/c\" Line=3 ]"},
        {W(SourceLocation(L"/a/b/c", 3).ToString()), L"[ File=\"...\\a/b/c\" Line=3 ]"},
        {W(SourceLocation(L"", 12, L"Func").ToString()), L"[ Function=Func ]"},
        {W(SourceLocation(nullptr, 12, L"Func").ToString()), L"[ Function=Func ]"},
        {W(SourceLocation(nullptr, 12).ToString()), L""},
        {W(SourceLocation(L"x.cpp", 5, L"F").ToString()), L"[ Function=F File=\"x.cpp\" Line=5 ]"},
        {W(SourceLocation(L"x", 0).GetLineText()), L""},
        {W(SourceLocation(L"x", 4294967295u).GetLineText()), L"4294967295"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
    {
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    }
}

// ---------------------------------------------------------------- raising shapes

TEST(UniversalErrorRaiseTest, ThrowModuleErrorLogsThenThrows)
{
    const LogCapture capture;
    try
    {
        ThrowModuleError(ModuleError(0x650066, L"ctx"), L"Step %d", 3);
        FAIL() << "no throw";
    }
    catch (const ModuleError& e)
    {
        EXPECT_EQ(e.GetFullCode(), 0x650066u);
        EXPECT_EQ(W(e.GetContext()), L"ctx");
    }
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].type, kLogMsgType_Error);
    EXPECT_EQ(lines[0].body,
              L"Error: Step 3 - (101#102) General error: The current state is incorrect. - ctx\n");
}

TEST(UniversalErrorRaiseTest, ThrowWithoutFormatHasNoPrefix)
{
    const LogCapture capture;
    EXPECT_THROW(ThrowStandardError(StandardError(ENOENT, nullptr)), StandardError);
    EXPECT_THROW(ThrowModuleError(ModuleError(0x650001), L""), ModuleError);
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], L"Error: (2#2) Standard error: No such file or directory\n");
    EXPECT_EQ(bodies[1], L"Error: (101#1) General error: The parameter is incorrect or not supported.\n");
}

TEST(UniversalErrorRaiseTest, InternalErrorShapeReportsWithLocationAndThrowsByClass)
{
    const LogCapture capture;
    const std::uint32_t line = __LINE__ + 3;
    try
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(0x6500CA), L"site text");
    }
    catch (const UniversalError& e)
    {
        EXPECT_NE(dynamic_cast<const ModuleError*>(&e), nullptr);
    }
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].type, kLogMsgType_InternalError);
    const std::wstring expected = L"Internal Error: site text - (101#202) General error: An unexpected error "
                                  L"occurred. [ File=\"...\\Q7Tether/Q7UniversalLib/UniversalErrorTest.cpp\" "
                                  L"Line=" +
                                  std::to_wstring(line) + L" ]\n";
    EXPECT_EQ(lines[0].body, expected);
}

TEST(UniversalErrorRaiseTest, WrappedShapeThrowsStdExceptionError)
{
    const LogCapture capture;
    try
    {
        try
        {
            throw std::out_of_range("index 9");
        }
        catch (const std::exception& e)
        {
            Q7_THROW_INTERNAL_ERROR(StdExceptionError(e), nullptr);
        }
    }
    catch (const StdExceptionError& e)
    {
        EXPECT_EQ(W(e.GetMessage()), L"index 9");
    }
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0].rfind(L"Internal Error: (3#0) Standard exception: index 9 [ File=", 0), 0u);
}

TEST(UniversalErrorRaiseTest, ThrowStdExceptionErrorLogsNothing)
{
    const LogCapture capture;
    EXPECT_THROW(ThrowStdExceptionError(StdExceptionError(std::runtime_error("x"))), StdExceptionError);
    EXPECT_TRUE(capture.Captured().empty());
}

TEST(UniversalErrorRaiseTest, ReportInternalErrorText)
{
    const LogCapture capture;
    ReportInternalError(L"Unknown encoding.", SourceLocation(L"a.cpp", 9));
    ReportInternalError(nullptr, SourceLocation(nullptr, 0));
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], L"Internal Error: Unknown encoding. [ File=\"a.cpp\" Line=9 ]\n");
    EXPECT_EQ(bodies[1], L"Internal Error:  \n");
}
