// The tavrin-camera-sim program: it announces where it listens, serves a
// camera there (every channel the library uses), and ends cleanly on SIGINT
// and SIGTERM.
#include "SimProgrammingHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef TAVRIN_CAMERA_SIM_PATH
#error "TAVRIN_CAMERA_SIM_PATH must name the tavrin-camera-sim program"
#endif

extern char** environ;

namespace
{

using namespace SimTest;

// One run of the program with its standard output on a pipe. Thread-bound.
class SimProcess
{
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
        {
            throw std::runtime_error("pipe2 failed");
        }
        m_out = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &stopSignals);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        args.insert(args.begin(), TAVRIN_CAMERA_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
        {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&m_pid, TAVRIN_CAMERA_SIM_PATH, &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(fds[1]);
        if (rc != 0)
        {
            m_pid = -1;
            throw std::runtime_error("posix_spawn failed");
        }
    }

    ~SimProcess()
    {
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
    }

    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The next line of standard output, or nothing at its end or after the time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;)
        {
            const auto nl = m_text.find('\n');
            if (nl != std::string::npos)
            {
                std::string line = m_text.substr(0, nl);
                m_text.erase(0, nl + 1);
                return line;
            }
            if (!Fill(deadline))
            {
                return std::nullopt;
            }
        }
    }

    // Waits until the program closed its output (it ended), then reaps it.
    // Returns its wait status, or nothing when it is still running after the time-out.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Fill(deadline))
        {
        }
        if (!m_atEnd)
        {
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, 0) != m_pid)
        {
            return std::nullopt;
        }
        m_pid = -1;
        return status;
    }

    void Signal(int signal) { ::kill(m_pid, signal); }
    const std::string& Rest() const { return m_text; }

private:
    // Appends what arrives before the deadline; false at the end of output or the deadline.
    bool Fill(std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{m_out, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (r < 0 && errno == EINTR)
        {
            return true;
        }
        if (r <= 0)
        {
            return false;
        }
        char buf[512];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0)
        {
            m_atEnd = true;
            return false;
        }
        m_text.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
    bool m_atEnd = false;
};

// "... listening on 127.0.0.1:41234" -> 41234.
std::optional<std::uint16_t> AnnouncedPort(const std::string& line, const std::string& address)
{
    const std::string marker = "listening on " + address + ":";
    const auto at = line.find(marker);
    if (at == std::string::npos)
    {
        return std::nullopt;
    }
    const unsigned long port = std::stoul(line.substr(at + marker.size()));
    return port > 0 && port <= 0xFFFF ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(port))
                                      : std::nullopt;
}

// The program serves a working camera on the announced port.
void ExpectServes(std::uint16_t port, const char* address)
{
    RawClient host(port, address);
    const auto reply = host.Open(0, 0, 2, 1);
    ASSERT_TRUE(reply) << "no OpenReply on 0.0";
    EXPECT_EQ((*reply)[18], 0) << "open status";
    ASSERT_TRUE(host.Send(Data(0, 0, Message(0x64, 0x01, 16, 16))));
    const auto info = host.ReceiveMessage(0, 0);
    ASSERT_TRUE(info) << "no device information";
    EXPECT_EQ(info->size(), 288u);
    EXPECT_EQ((*info)[5], 0x81);
    ASSERT_TRUE(host.Send(CloseRequest(0, 0)));
    EXPECT_TRUE(host.ReceiveType(0x81)) << "no CloseReply";
}

void RunUntilSignal(int signal)
{
    SimProcess sim({"--address", "127.0.0.1", "--port", "0", "--model", "Smoke Test"});
    const auto line = sim.ReadLine();
    ASSERT_TRUE(line) << "the program announced nothing";
    EXPECT_NE(line->find("\"Smoke Test\""), std::string::npos) << *line;
    const auto port = AnnouncedPort(*line, "127.0.0.1");
    ASSERT_TRUE(port) << *line;
    ExpectServes(*port, "127.0.0.1");
    sim.Signal(signal);
    const auto status = sim.WaitForExit();
    ASSERT_TRUE(status) << "the program did not end after signal " << signal;
    ASSERT_TRUE(WIFEXITED(*status)) << "the program was killed by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << sim.Rest();
    EXPECT_NE(sim.Rest().find("Stopped after 1 connection(s); 0 protocol violation(s)"), std::string::npos)
        << sim.Rest();
}

TEST(SimTool, ServesOnASystemChosenPortAndEndsCleanlyOnSigint)
{
    RunUntilSignal(SIGINT);
}

TEST(SimTool, ServesOnASystemChosenPortAndEndsCleanlyOnSigterm)
{
    RunUntilSignal(SIGTERM);
}

// Without --port the program serves the fixed camera port (on an address of its own here).
TEST(SimTool, ServesTheFixedCameraPortByDefault)
{
    SimProcess sim({"--address", "127.0.0.74", "--quiet"});
    const auto line = sim.ReadLine();
    if (!line)
    {
        const auto status = sim.WaitForExit();
        if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 2)
        {
            GTEST_SKIP() << "127.0.0.74:7381 is in use";
        }
        FAIL() << "the program announced nothing";
    }
    ASSERT_EQ(AnnouncedPort(*line, "127.0.0.74"), std::optional<std::uint16_t>(7381)) << *line;
    ExpectServes(7381, "127.0.0.74");
    sim.Signal(SIGINT);
    const auto status = sim.WaitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// A host fault seen while serving makes the program's exit status 1.
TEST(SimTool, ExitStatusReportsProtocolViolations)
{
    SimProcess sim({"--port", "0", "--quiet"});
    const auto line = sim.ReadLine();
    ASSERT_TRUE(line);
    const auto port = AnnouncedPort(*line, "127.0.0.1");
    ASSERT_TRUE(port) << *line;
    {
        RawClient host(*port);
        ASSERT_TRUE(host.Send(CloseReply(0, 0))); // a CloseReply nobody asked for
        ASSERT_TRUE(host.Open(0, 0, 2, 1));       // the camera has read the fault by now
    }
    sim.Signal(SIGINT);
    const auto status = sim.WaitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
}

// Catches: --images not stored, or a shutter release on 2.0 that captures
// nothing (the capture is pushed on 3.0).
TEST(SimTool, StoresTheImagesAskedForAndCapturesOnAShutterRelease)
{
    SimProcess sim({"--port", "0", "--images", "3", "--quiet"});
    const auto line = sim.ReadLine();
    ASSERT_TRUE(line) << "the program announced nothing";
    const auto port = AnnouncedPort(*line, "127.0.0.1");
    ASSERT_TRUE(port) << *line;
    RawClient host(*port);
    ASSERT_TRUE(host.Open(3, 0));
    Bytes ten(4, 0);
    Put32(ten, 0, 10);
    ASSERT_TRUE(host.Send(Data(3, 0, Message(0x67, 0x01, 20, 20, ten))));
    const auto list = host.ReceiveMessage(3, 0);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), 56u + 3 * 24);

    ASSERT_TRUE(host.Open(2, 0));
    Bytes shutter(12, 0);
    Put32(shutter, 0, 1);
    ASSERT_TRUE(host.Send(Data(2, 0, Message(0x66, 0x0A, 28, 28, shutter))));
    const auto push = host.ReceiveMessage(3, 0);
    ASSERT_TRUE(push);
    EXPECT_EQ(Get32(*push, 32), 0x20u); // added
    EXPECT_EQ(Get32(*push, 56), 4u);
}

// Catches a help text that leaves out a channel the program serves, or that
// offers --port as if the library could reach a camera on another port.
TEST(SimTool, HelpNamesEveryChannelTheLibraryUsesAndPortAsTestOnly)
{
    SimProcess sim({"--help"});
    const auto status = sim.WaitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    const std::string& help = sim.Rest();
    for (const char* channel : {"0.0 ", "1.0 ", "2.0 ", "3.0 ", "4.1, 4.2 ", "5.1, 5.2 ", "255.0 "})
    {
        EXPECT_NE(help.find(std::string("\n  ") + channel), std::string::npos) << channel << " missing in\n"
                                                                              << help;
    }
    EXPECT_NE(help.find("diagnostics log"), std::string::npos) << help;
    const auto port = help.find("--port N");
    ASSERT_NE(port, std::string::npos) << help;
    EXPECT_NE(help.find("tests only", port), std::string::npos) << help;
    EXPECT_NE(help.find("7381", port), std::string::npos) << help;
}

// Catches a program that answers the library's request for the diagnostics log
// (GetLog for log 104 on channel 1.0) with a CommonError: the camera's log must
// arrive whole, scrambled as a camera keeps it, and the exchange leave no
// protocol violation behind.
TEST(SimTool, ServesTheDiagnosticsLogOnTheProgrammingChannel)
{
    SimProcess sim({"--port", "0", "--quiet"});
    const auto line = sim.ReadLine();
    ASSERT_TRUE(line) << "the program announced nothing";
    const auto port = AnnouncedPort(*line, "127.0.0.1");
    ASSERT_TRUE(port) << *line;
    {
        RawClient host(*port);
        ASSERT_TRUE(host.Open(1, 0));
        Bytes logId(4, 0);
        Put32(logId, 0, 104);
        ASSERT_TRUE(host.Send(Data(1, 0, Message(0x65, 0x01, 20, 20, logId))));
        const auto ack = host.ReceiveMessage(1, 0);
        ASSERT_TRUE(ack) << "no answer to GetLog";
        ASSERT_EQ(ack->size(), 28u);
        ASSERT_EQ((*ack)[4], 0x65) << "not a GetLogAck";
        ASSERT_EQ((*ack)[5], 0x81) << "not a GetLogAck";
        EXPECT_EQ(Get32(*ack, 16), 104u);
        ASSERT_EQ(Get32(*ack, 20), 0u) << "result";
        const std::uint32_t dataId = Get32(*ack, 24);

        const auto begin = host.ReceiveMessage(1, 0);
        ASSERT_TRUE(begin) << "no DataBegin";
        ASSERT_EQ((*begin)[4], 0x02);
        ASSERT_EQ((*begin)[5], 0x01);
        EXPECT_EQ(Get32(*begin, 20), dataId);
        const std::uint32_t announced = Get32(*begin, 32);
        EXPECT_EQ(Get32(*begin, 36), 0u);
        Bytes id(8, 0);
        Put32(id, 0, dataId);
        ASSERT_TRUE(host.Send(Data(1, 0, Message(0x02, 0x81, 24, 24, id))));

        Bytes log;
        for (;;)
        {
            const auto message = host.ReceiveMessage(1, 0);
            ASSERT_TRUE(message) << "the log stopped after " << log.size() << " bytes";
            ASSERT_EQ((*message)[4], 0x02);
            if ((*message)[5] == 0x02)
            {
                EXPECT_EQ(Get32(*message, 24), log.size()) << "DataEnd's total";
                break;
            }
            ASSERT_EQ((*message)[5], 0x04) << "neither a DataBlock nor a DataEnd";
            ASSERT_GE(message->size(), 36u);
            log.insert(log.end(), message->begin() + 36, message->end());
        }
        ASSERT_TRUE(host.Send(Data(1, 0, Message(0x02, 0x82, 24, 24, id))));
        EXPECT_EQ(log.size(), announced);
        Q7::Sim::ScrambleLog(log);
        EXPECT_EQ(std::string(log.begin(), log.end()), "Simulated camera: diagnostics log\n");
        ASSERT_TRUE(host.Send(CloseRequest(1, 0)));
        EXPECT_TRUE(host.ReceiveType(0x81)) << "no CloseReply";
    }
    sim.Signal(SIGINT);
    const auto status = sim.WaitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0) << "protocol violations";
}

// Bad command lines end at once with status 2, before anything listens.
TEST(SimTool, RefusesBadArguments)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--port", "65536"},
                                                 {"--bogus"},
                                                 {"--address", "10.1.2.3", "--port", "0"},
                                                 {"--channel", "2.0"},
                                                 {"--port"}})
    {
        SimProcess sim(args);
        const auto status = sim.WaitForExit();
        ASSERT_TRUE(status) << args[0];
        ASSERT_TRUE(WIFEXITED(*status)) << args[0];
        EXPECT_EQ(WEXITSTATUS(*status), 2) << args[0];
        EXPECT_TRUE(sim.Rest().empty()) << sim.Rest();
    }
}

} // namespace
