#include "SimLog.h"

#include <cstdio>

namespace Q7::Sim
{

Logger::Logger(LogSink sink, LogLevel threshold) : m_sink(std::move(sink)), m_threshold(threshold) {}

void Logger::Configure(LogSink sink, LogLevel threshold)
{
    std::lock_guard lock(m_mutex);
    m_sink = std::move(sink);
    m_threshold = threshold;
}

void Logger::Write(LogLevel level, const std::string& line) const
{
    if (!Enabled(level))
    {
        return;
    }
    std::lock_guard lock(m_mutex);
    try
    {
        m_sink(level, line);
    }
    catch (...)
    {
        // A failing sink must not take a connection thread down.
    }
}

LogSink Logger::StandardError()
{
    return [](LogLevel level, const std::string& line)
    {
        static const char* const kNames[] = {"error", "warning", "info", "debug"};
        std::fprintf(stderr, "sim %s: %s\n", kNames[static_cast<int>(level)], line.c_str());
    };
}

} // namespace Q7::Sim
