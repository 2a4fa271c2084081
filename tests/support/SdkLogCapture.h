#pragma once
// Test helper: installs a message printer that keeps every SDK log line (level
// and formatted text) while it lives. The printer is a plain function, so the
// lines live in one process-wide list: one capture at a time.

#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{

struct SdkLogLine
{
    int level;
    std::string text;

    bool operator==(const SdkLogLine&) const = default;
};

class SdkLogCapture
{
public:
    SdkLogCapture()
    {
        Clear();
        Q7::TavrinC::SetMessagePrinter(&Print);
    }
    ~SdkLogCapture() { Q7::TavrinC::SetMessagePrinter(nullptr); }
    SdkLogCapture(const SdkLogCapture&) = delete;
    SdkLogCapture& operator=(const SdkLogCapture&) = delete;

    // Every line so far, in order.
    std::vector<SdkLogLine> Lines() const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Storage();
    }
    // The number of lines whose text equals text.
    long Count(const std::string& text) const
    {
        const std::vector<SdkLogLine> lines = Lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const SdkLogLine& line) { return line.text == text; });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Storage().clear();
    }

    // The printer itself, for tests that install it by other means.
    static void Print(int level, const char* format, va_list args)
    {
        char text[8192];
        std::vsnprintf(text, sizeof text, format, args);
        std::lock_guard<std::mutex> lock(Mutex());
        Storage().push_back({level, text});
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex; // guards Storage()
        return mutex;
    }
    static std::vector<SdkLogLine>& Storage()
    {
        static std::vector<SdkLogLine> lines;
        return lines;
    }
};

} // namespace TestSupport
