#include "Transport/KPXStaticIpConfiguration.h"

#include "Q7UniversalError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace Q7::KPX::Transport
{

using Q7::Universal::UniversalString;

namespace
{

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back()))
    {
        text.remove_suffix(1);
    }
    return text;
}

Q7::Universal::UniversalStringA ToText(std::string_view text)
{
    Q7::Universal::UniversalStringA result;
    result.Assign(text.data(), text.size());
    return result;
}

// The fields of a line, unescaped and trimmed.
std::vector<std::string> SplitFields(std::string_view line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size())
        {
            fields.back() += line[++i];
        }
        else if (c == '|')
        {
            fields.emplace_back();
        }
        else
        {
            fields.back() += c;
        }
    }
    for (std::string& field : fields)
    {
        field = std::string(Trim(field));
    }
    return fields;
}

[[noreturn]] void RefuseLine(std::uint64_t number, std::string_view line)
{
    const UniversalString shown = Q7::Universal::FromNarrow(std::string(line).c_str());
    Q7::Universal::ThrowModuleError(
        Q7::Universal::ModuleError(Q7::Universal::kError_InvalidSyntax,
                                   UniversalString(L"static IP configuration (line %llu: \"%.40ls ...\")",
                                                   static_cast<unsigned long long>(number), shown.c_str())));
}

// The camera of one accepted line; none when its port is invalid or its host
// does not resolve.
std::optional<TcpMoniker> MakeEntry(const std::vector<std::string>& fields, const HostResolver& resolver)
{
    try
    {
        TcpMoniker entry;
        entry.name = ToText(fields[0]);
        entry.host = ToText(fields[1]);
        entry.port = fields.size() < 3 || fields[2].empty() ? kDefaultTcpPort
                                                            : Q7::Platform::ParsePort(fields[2].c_str());
        const std::vector<Q7::Platform::SocketAddress> addresses = resolver(fields[1].c_str());
        if (addresses.empty())
        {
            return std::nullopt;
        }
        entry.address = addresses.front().GetIPv4();
        entry.connectTimeoutSeconds = 0;
        entry.isStatic = 1;
        return entry;
    }
    catch (const Q7::Universal::UniversalError&)
    {
        return std::nullopt;
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

// An open file descriptor, closed when it goes.
class FileDescriptor
{
public:
    explicit FileDescriptor(int descriptor) noexcept : m_descriptor(descriptor) {}
    ~FileDescriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const noexcept { return m_descriptor; }

private:
    int m_descriptor;
};

[[noreturn]] void CannotRead(int errorNumber, const UniversalString& path)
{
    Q7::Universal::ThrowStandardError(
        Q7::Universal::StandardError(static_cast<std::uint32_t>(errorNumber != 0 ? errorNumber : EIO),
                                     UniversalString(L"Cannot read file \"%ls\"", path.c_str()).c_str()));
}

// The contents of the file, up to its first zero byte, as the configuration
// text (a leading UTF-8 byte-order mark removed).
//
// The caller holds the device manager's lock, so nothing here may block on
// another party: the file is opened without blocking (a FIFO would otherwise
// wait for a writer) and only a regular file is read. A regular file must also
// give exactly the bytes its size announces: files of /proc and /sys announce
// 0 or 4096 bytes whatever they hold, and are refused rather than read as an
// empty or cut list.
std::string ReadConfigurationFile(const char* utf8Path)
{
    const UniversalString path = Q7::Universal::FromNarrow(utf8Path);
    const FileDescriptor file(::open(utf8Path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0)
    {
        Q7::Universal::ThrowStandardError(
            Q7::Universal::StandardError(static_cast<std::uint32_t>(errno), path.c_str()),
            L"Failed to open file.");
    }
    struct stat status = {};
    if (::fstat(file.Get(), &status) != 0)
    {
        CannotRead(errno, path);
    }
    if (!S_ISREG(status.st_mode))
    {
        CannotRead(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
    }
    if (status.st_size < 0 || static_cast<std::uint64_t>(status.st_size) > kMaxStaticIpConfigurationFileSize)
    {
        Q7::Universal::ThrowModuleError(
            Q7::Universal::ModuleError(Q7::Universal::kError_LimitExceeded,
                                       UniversalString(L"File \"%ls\" is too large", path.c_str())));
    }
    // One byte more than announced, to see a file that holds more.
    const auto size = static_cast<std::size_t>(status.st_size);
    std::string contents(size + 1, '\0');
    std::size_t done = 0;
    while (done < contents.size())
    {
        const ssize_t got = ::read(file.Get(), contents.data() + done, contents.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            CannotRead(errno, path);
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    if (done != size)
    {
        CannotRead(EIO, path);
    }
    contents.resize(std::string_view(contents.c_str()).size());
    if (std::string_view(contents).starts_with(kUtf8ByteOrderMark))
    {
        contents.erase(0, kUtf8ByteOrderMark.size());
    }
    return contents;
}

} // namespace

StaticIpConfiguration::StaticIpConfiguration() : StaticIpConfiguration(&Q7::Platform::ResolveHostName) {}

StaticIpConfiguration::StaticIpConfiguration(HostResolver resolver) : m_resolver(std::move(resolver)) {}

void StaticIpConfiguration::SetFromText(const char* text)
{
    std::vector<TcpMoniker> entries = Parse(text, m_resolver);
    Q7::Platform::ScopedLock lock(m_lock);
    m_entries.swap(entries);
}

void StaticIpConfiguration::SetFromFile(const char* path)
{
    std::vector<TcpMoniker> entries;
    if (path != nullptr && path[0] != '\0')
    {
        entries = Parse(ReadConfigurationFile(path).c_str(), m_resolver);
    }
    Q7::Platform::ScopedLock lock(m_lock);
    m_entries.swap(entries);
}

std::vector<TcpMoniker> StaticIpConfiguration::Copy() const
{
    Q7::Platform::ScopedLock lock(m_lock);
    return m_entries;
}

std::vector<TcpMoniker> StaticIpConfiguration::Parse(const char* text, const HostResolver& resolver)
{
    std::vector<TcpMoniker> entries;
    if (text == nullptr)
    {
        return entries;
    }
    std::string_view rest(text);
    for (std::uint64_t number = 1;; ++number)
    {
        const std::size_t end = rest.find_first_of("\r\n");
        const std::string_view line = Trim(rest.substr(0, end));
        if (!line.empty() && line.front() != '#')
        {
            const std::vector<std::string> fields = SplitFields(line);
            if (fields.size() > 3 || fields[0].empty() || fields.size() < 2 || fields[1].empty())
            {
                RefuseLine(number, line);
            }
            if (std::optional<TcpMoniker> entry = MakeEntry(fields, resolver))
            {
                entries.push_back(std::move(*entry));
            }
        }
        if (end == std::string_view::npos)
        {
            return entries;
        }
        const bool crLf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
        rest.remove_prefix(end + (crLf ? 2 : 1));
    }
}

} // namespace Q7::KPX::Transport
