// The static address list: its text format, line by line, from a text and from
// a file, with host resolution of the test's own (no test here depends on the
// name service).

#include "Q7UniversalError.h"
#include "Transport/KPXStaticIpConfiguration.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace
{

using Q7::KPX::Transport::StaticIpConfiguration;
using Q7::KPX::Transport::TcpMoniker;
using Q7::Platform::SocketAddress;

// Dotted addresses resolve to themselves, "studio.local" to two addresses (the
// first counts), every other name to nothing.
std::vector<SocketAddress> TestResolver(const char* host)
{
    const std::string name = host;
    if (name == "studio.local")
    {
        return {SocketAddress(AF_INET, 0, 0x0A010203, 0), SocketAddress(AF_INET, 0, 0x0A090909, 0)};
    }
    in_addr address{};
    if (::inet_pton(AF_INET, host, &address) == 1)
    {
        return {SocketAddress(AF_INET, 0, ntohl(address.s_addr), 0)};
    }
    return {};
}

// "name|host|address:port" of every entry.
std::vector<std::string> Describe(const std::vector<TcpMoniker>& entries)
{
    std::vector<std::string> texts;
    for (const TcpMoniker& entry : entries)
    {
        texts.push_back(std::string(entry.name.c_str()) + "|" + entry.host.c_str() + "|" +
                        entry.GetAddressText().c_str() + ":" + std::to_string(entry.port));
        EXPECT_EQ(entry.isStatic, 1u) << texts.back();
        EXPECT_EQ(entry.connectTimeoutSeconds, 0u) << texts.back();
    }
    return texts;
}

enum class Source
{
    kText,
    kFile,
};

struct Case
{
    const char* what; // the rule the row checks
    Source source;
    std::string input;                 // the text, or the file's contents
    std::vector<std::string> expected; // entries, when accepted
    std::uint32_t errorCategory = 0;   // refused: the error's category and code ...
    std::uint32_t errorCode = 0;       //
    std::wstring errorContext = L"";   // ... and context ("{path}" stands for the file's path)
};

constexpr std::uint32_t kModuleCategory = 0x65;
constexpr std::uint32_t kStandardCategory = 2;

// A refusal of the whole text at a line, showing the trimmed line.
Case Refused(const char* what, std::string input, unsigned line, const std::wstring& shown)
{
    return {what,
            Source::kText,
            std::move(input),
            {},
            kModuleCategory,
            7,
            L"static IP configuration (line " + std::to_wstring(line) + L": \"" + shown + L" ...\")"};
}

std::string FileOfSize(std::size_t size, const std::string& head)
{
    std::string contents = head + "#";
    contents.resize(size, 'x');
    return contents;
}

std::vector<Case> Cases()
{
    const std::string sixty(60, 'n');
    return {
        {"two fields: inner spaces kept, empty port is 7381",
         Source::kText,
         "studio cam|192.168.1.20",
         {"studio cam|192.168.1.20|192.168.1.20:7381"}},
        {"escaped bar and backslash belong to the field",
         Source::kText,
         "a\\|b|10.0.0.5|8000\nc\\\\d\\x|10.0.0.6|\\9",
         {"a|b|10.0.0.5|10.0.0.5:8000", "c\\dx|10.0.0.6|10.0.0.6:9"}},
        {"comments, blank lines, CR, LF and CRLF; lines and fields trimmed; first address used",
         Source::kText,
         "# cameras\r\n\r\n \t cam1 | studio.local | 7000 \r\t# off|10.0.0.1\n\ncam2|10.0.0.7| "
         "\rcam3|10.0.0.8",
         {"cam1|studio.local|10.1.2.3:7000", "cam2|10.0.0.7|10.0.0.7:7381", "cam3|10.0.0.8|10.0.0.8:7381"}},
        {"unresolvable host, port above 65535 and a bad port drop only their line",
         Source::kText,
         "gone|nowhere.invalid\nbig|10.0.0.8|70000\nok|10.0.0.9|1\nneg|10.0.0.10|-1\nbad|10.0.0.11|8x",
         {"ok|10.0.0.9|10.0.0.9:1"}},
        {"a name given twice is listed twice (the manager merges equal cameras)",
         Source::kText,
         "dup|10.0.0.12\ndup|10.0.0.12",
         {"dup|10.0.0.12|10.0.0.12:7381", "dup|10.0.0.12|10.0.0.12:7381"}},
        {"empty text gives an empty list", Source::kText, "", {}},
        Refused("empty host after LF ends", "ok|10.0.0.1\n\nnohost| \n", 3, L"nohost|"),
        Refused("empty host after CRLF ends: numbered alike", "ok|10.0.0.1\r\n\r\nnohost| \r\n", 3,
                L"nohost|"),
        Refused("empty host after CR ends: numbered alike", "ok|10.0.0.1\r\rnohost| \r", 3, L"nohost|"),
        Refused("LF CR is two line ends", "ok|10.0.0.1\n\ronly a name", 3, L"only a name"),
        Refused("an unresolvable line before does not hide the refusal", "gone|nowhere.invalid\n|10.0.0.1", 2,
                L"|10.0.0.1"),
        Refused("a fourth field", "cam|10.0.0.1|7381|extra", 1, L"cam|10.0.0.1|7381|extra"),
        Refused("at most 40 characters of the line are shown", " " + sixty + "|10.0.0.1|1|2", 1,
                std::wstring(40, L'n')),
        {"a file of 10000 bytes is read",
         Source::kFile,
         FileOfSize(10000, "cam|10.0.0.13\n"),
         {"cam|10.0.0.13|10.0.0.13:7381"}},
        {"a file of 10001 bytes is refused",
         Source::kFile,
         FileOfSize(10001, "cam|10.0.0.13\n"),
         {},
         kModuleCategory,
         0xCD,
         L"File \"{path}\" is too large"},
        {"a byte-order mark at the start of a file is skipped",
         Source::kFile,
         "\xEF\xBB\xBF# cameras\r\ncam|10.0.0.14",
         {"cam|10.0.0.14|10.0.0.14:7381"}},
        {"a refused line of a file names its line",
         Source::kFile,
         "\xEF\xBB\xBF\n\ncam",
         {},
         kModuleCategory,
         7,
         L"static IP configuration (line 3: \"cam ...\")"},
    };
}

class StaticIpConfigurationTest : public ::testing::Test
{
protected:
    std::string WriteFile(const std::string& contents) const
    {
        return m_folder.Write("cameras.txt", contents);
    }

    TestSupport::TempFolder m_folder;
};

// Catches any departure from the line format: wrong line numbers for CR or CRLF
// ends, comments or escapes misread, a bad line refusing the others (or a
// malformed one not refusing the text), a refused text replacing the previous
// list, a file's size limit off by one or its byte-order mark taken as text.
TEST_F(StaticIpConfigurationTest, TextAndFileFollowTheLineFormat)
{
    for (const Case& c : Cases())
    {
        SCOPED_TRACE(c.what);
        StaticIpConfiguration configuration(&TestResolver);
        configuration.SetFromText("previous|10.0.0.99");
        const std::vector<std::string> previous = Describe(configuration.Copy());
        ASSERT_EQ(previous.size(), 1u);

        const std::string path = c.source == Source::kFile ? WriteFile(c.input) : std::string();
        try
        {
            if (c.source == Source::kFile)
            {
                configuration.SetFromFile(path.c_str());
            }
            else
            {
                configuration.SetFromText(c.input.c_str());
            }
            EXPECT_EQ(c.errorCategory, 0u) << "accepted a text that must be refused";
            EXPECT_EQ(Describe(configuration.Copy()), c.expected);
        }
        catch (const Q7::Universal::UniversalError& error)
        {
            EXPECT_EQ(error.GetCategory(), c.errorCategory);
            EXPECT_EQ(error.GetCode(), c.errorCode);
            std::wstring context = c.errorContext;
            if (const std::size_t at = context.find(L"{path}"); at != std::wstring::npos)
            {
                context.replace(at, 6, std::wstring(path.begin(), path.end()));
            }
            EXPECT_EQ(std::wstring(error.GetContext().c_str()), context);
            EXPECT_EQ(Describe(configuration.Copy()), previous) << "a refused text changed the list";
        }
    }
}

// Catches: a missing file, or a null or empty text or path, leaving the old
// list in place or crashing.
TEST_F(StaticIpConfigurationTest, MissingFileIsRefusedAndEmptyInputsEmptyTheList)
{
    StaticIpConfiguration configuration(&TestResolver);
    configuration.SetFromText("previous|10.0.0.99");
    try
    {
        configuration.SetFromFile(m_folder.Path("missing.txt").c_str());
        ADD_FAILURE() << "a missing file was accepted";
    }
    catch (const Q7::Universal::StandardError& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<std::uint32_t>(ENOENT));
    }
    EXPECT_EQ(configuration.Copy().size(), 1u);

    for (const auto set : {+[](StaticIpConfiguration& s) { s.SetFromText(nullptr); },
                           +[](StaticIpConfiguration& s) { s.SetFromFile(nullptr); },
                           +[](StaticIpConfiguration& s) { s.SetFromFile(""); }})
    {
        configuration.SetFromText("previous|10.0.0.99");
        set(configuration);
        EXPECT_TRUE(configuration.Copy().empty());
    }
}

// Catches the special-file faults: a FIFO that blocks the reader (and the
// device manager's lock) for ever waiting for a writer, and /dev/zero, /dev/null,
// a /proc file or a folder read as an empty list that silently replaces the
// previous one. Each is refused as unreadable, the list kept.
TEST_F(StaticIpConfigurationTest, FilesThatAreNotPlainFilesAreRefusedWithoutWaiting)
{
    using namespace std::chrono_literals;
    const std::string fifo = m_folder.Path("cameras.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << errno;
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null"),
                                    std::string("/proc/self/status"), m_folder.Path("")})
    {
        SCOPED_TRACE(path);
        StaticIpConfiguration configuration(&TestResolver);
        configuration.SetFromText("previous|10.0.0.99");
        auto set = std::async(std::launch::async, [&] { configuration.SetFromFile(path.c_str()); });
        if (set.wait_for(10s) != std::future_status::ready)
        {
            ADD_FAILURE() << "the read waits for a writer";
            // A writer that comes and goes lets the blocked open end.
            const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            if (writer >= 0)
                ::close(writer);
        }
        try
        {
            set.get();
            ADD_FAILURE() << "accepted";
        }
        catch (const Q7::Universal::StandardError& error)
        {
            EXPECT_EQ(std::wstring(error.GetContext().c_str()),
                      L"Cannot read file \"" + std::wstring(path.begin(), path.end()) + L"\"");
        }
        EXPECT_EQ(configuration.Copy().size(), 1u) << "the previous list is kept";
    }
}

} // namespace
