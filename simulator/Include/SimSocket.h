// Small POSIX socket helpers of the simulator: an owning descriptor, a wake
// event for poll loops, and a loopback TCP listener.
#pragma once

#include <cstdint>
#include <string>

namespace Q7::Sim
{

// Owns a file descriptor and closes it. Move-only.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();
    // Closes the descriptor (if any) and takes `fd`.
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

// A level-triggered wake signal for poll loops (an eventfd that stays readable
// once signalled). Thread-safe.
class WakeEvent
{
public:
    // Throws std::system_error when no eventfd can be made.
    WakeEvent();
    void Signal();
    int Fd() const { return m_fd.Get(); }

private:
    UniqueFd m_fd;
};

enum class PollResult
{
    Ready, // the descriptor is ready for `events`
    Woken, // the wake event was signalled
    Error, // poll failed or the descriptor reported an error without being ready
};

// Waits without limit (or `timeoutMs` when not negative) until `fd` is ready
// for `events` (POLLIN/POLLOUT) or `wakeFd` becomes readable. A time-out gives Woken.
PollResult WaitReady(int fd, short events, int wakeFd, int timeoutMs = -1);

// True when the dotted IPv4 text lies in 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& address);

// Opens a non-blocking TCP listener on `address` (IPv4 loopback only) and
// `port` (0: chosen by the system). Returns the descriptor and stores the
// bound port. Throws std::invalid_argument for a non-loopback or malformed
// address and std::system_error when the socket cannot be bound.
UniqueFd ListenOnLoopback(const std::string& address, std::uint16_t port, std::uint16_t& boundPort);

// The local port of a connected or bound socket (0 when it cannot be read).
std::uint16_t LocalPortOf(int fd);

} // namespace Q7::Sim
