#pragma once
// Test helper for cases that run in a process of their own (a death test that
// expects a clean exit): collects the mismatches of one case, and the child
// reports them on standard error and exits with 1 when there is any.

#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace TestSupport
{

class ProcessChecks
{
public:
    template <typename A, typename B>
    void Equal(const A& actual, const B& expected, const char* what)
    {
        if (!(actual == expected))
        {
            std::ostringstream text;
            text << what << ": got " << actual << ", expected " << expected << "\n";
            Fail(text.str());
        }
    }
    void True(bool condition, const char* what)
    {
        if (!condition)
        {
            Fail(std::string(what) + ": false\n");
        }
    }
    // The calling thread's last error.
    void LastError(Q7::Tavrin::ErrorCode code, const char* message, const char* what)
    {
        Equal(static_cast<int>(Q7::TavrinC::GetErrorCode()), static_cast<int>(code), what);
        Equal(std::string(Q7::TavrinC::GetErrorMessage()), std::string(message), what);
    }
    [[noreturn]] void Finish()
    {
        std::fputs(m_failures.c_str(), stderr);
        std::exit(m_failures.empty() ? 0 : 1);
    }

private:
    void Fail(const std::string& failure) { m_failures += failure; }

    std::string m_failures;
};

/// One case that runs in a child process of its own.
struct ProcessCase
{
    const char* name;
    void (*run)(ProcessChecks&); // runs in the child; returns to let it exit normally
    const char* stderrPattern;   // what the child must print on standard error
};

inline void PrintTo(const ProcessCase& c, std::ostream* out)
{
    *out << c.name;
}

/// The test name of a case: its own name.
inline std::string ProcessCaseName(const ::testing::TestParamInfo<ProcessCase>& info)
{
    return info.param.name;
}

/// Runs the case in a child process (the child runs only this case, from a
/// fresh start) and expects it to exit with 0.
inline void RunInOwnProcess(const ProcessCase& c)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ProcessChecks check;
            c.run(check);
            check.Finish();
        },
        ::testing::ExitedWithCode(0), c.stderrPattern);
}

} // namespace TestSupport
