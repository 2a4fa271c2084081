// The simulated camera's log: one line per event, handed to a sink.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace Q7::Sim
{

enum class LogLevel
{
    Error = 0,   // violations of the protocol by the host, socket failures
    Warning = 1, // injected faults, unusual but legal traffic
    Info = 2,    // connections, opens and closes
    Debug = 3,   // every packet
};

// Receives each log line (without line end). Called on the simulator's
// threads, never under a simulator lock other than the logger's own.
using LogSink = std::function<void(LogLevel, const std::string&)>;

// A thread-safe front for a log sink with a level threshold.
class Logger
{
public:
    // Lines at `threshold` or more important go to `sink`; a null sink drops all.
    Logger(LogSink sink = {}, LogLevel threshold = LogLevel::Warning);

    // Replaces sink and threshold. Not thread-safe against concurrent writers:
    // call it while no simulator thread runs.
    void Configure(LogSink sink, LogLevel threshold);

    // Writes one line when its level passes the threshold. Thread-safe.
    void Write(LogLevel level, const std::string& line) const;
    bool Enabled(LogLevel level) const { return m_sink && level <= m_threshold; }

    // A sink that writes "sim <level>: <line>" to standard error.
    static LogSink StandardError();

private:
    LogSink m_sink;
    LogLevel m_threshold;
    mutable std::mutex m_mutex; // serialises calls into the sink
};

} // namespace Q7::Sim
