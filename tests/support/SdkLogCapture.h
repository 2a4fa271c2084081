#pragma once
// Test helper: installs a message printer that keeps every SDK log line (level
// and formatted text) while it lives. The printer is a plain function, so the
// lines live in one process-wide list: one capture at a time.

#include <TavrinCpp/TavrinC.h>

#include <cstdarg>
#include <cstddef>
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
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Storage().clear();
        }
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

    // Lines whose text equals text exactly.
    std::size_t Count(const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::size_t n = 0;
        for (const SdkLogLine& line : Storage())
        {
            n += line.text == text ? 1 : 0;
        }
        return n;
    }

    // Lines whose text contains part.
    std::size_t CountContaining(const std::string& part) const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::size_t n = 0;
        for (const SdkLogLine& line : Storage())
        {
            n += line.text.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Storage().clear();
    }

    // The printer itself, for tests that install it by other means.
    static void Print(int level, const char* format, va_list args)
    {
        va_list copy;
        va_copy(copy, args);
        const int length = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
        if (length > 0)
        {
            std::vsnprintf(text.data(), text.size() + 1, format, args);
        }
        std::lock_guard<std::mutex> lock(Mutex());
        Storage().push_back({level, std::move(text)});
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
