// Folders, files and file streams, the special folders and the system text.

#include "LogCapture.h"
#include "Q7PlatformFileSystem_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Q7::Platform::CreateFolder;
using Q7::Platform::GetOSVersionText;
using Q7::Platform::GetSpecialFolder;
using Q7::Platform::OpenFile;
using Q7::Platform::OpenInputFileStream;
using Q7::Platform::OpenOutputFileStream;
using Q7::Platform::SystemError_Posix;
using Q7::Universal::ModuleError;
using Q7::Universal::StandardError;
using Q7::Universal::StdExceptionError;
using TestSupport::LogCapture;

namespace
{

// A fresh folder under /tmp for one test, removed afterwards.
class FileSystemTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/q7fs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    std::wstring Path(const std::wstring& name) const { return fs::path(m_root).wstring() + L"/" + name; }

    fs::path m_root;
};

// The descriptors of this process open on the file at path.
std::vector<int> DescriptorsOf(const fs::path& path)
{
    std::vector<int> descriptors;
    const fs::path target = fs::canonical(path);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error))
    {
        std::error_code linkError;
        if (fs::read_symlink(entry.path(), linkError) == target)
        {
            descriptors.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return descriptors;
}

std::wstring FolderOfText(const std::string& path)
{
    return fs::path(path).parent_path().wstring() + L"/";
}

} // namespace

TEST_F(FileSystemTest, CreateFolderCreatesOneLevel)
{
    const std::wstring folder = Path(L"new");
    CreateFolder(folder.c_str());
    EXPECT_TRUE(fs::is_directory(fs::path(folder)));
}

TEST_F(FileSystemTest, CreateFolderAcceptsATrailingSeparator)
{
    const std::wstring folder = Path(L"with-separator/");
    CreateFolder(folder.c_str());
    EXPECT_TRUE(fs::is_directory(fs::path(Path(L"with-separator"))));
}

TEST_F(FileSystemTest, CreateFolderOfAnExistingFolderSucceedsSilently)
{
    const std::wstring folder = Path(L"twice");
    CreateFolder(folder.c_str());
    LogCapture log;
    EXPECT_NO_THROW(CreateFolder(folder.c_str()));
    EXPECT_EQ(log.Count(L"Failed to create folder."), 0u);
}

TEST_F(FileSystemTest, CreateFolderDoesNotCreateParents)
{
    const std::wstring folder = Path(L"missing/child");
    LogCapture log;
    try
    {
        CreateFolder(folder.c_str());
        FAIL() << "no error raised";
    }
    catch (const SystemError_Posix& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<uint32_t>(ENOENT));
        EXPECT_STREQ(error.GetContext().c_str(), folder.c_str());
    }
    EXPECT_EQ(log.Count(L"Failed to create folder.", Q7::Universal::kLogMsgType_Error), 1u);
}

// Catches a file of the folder's name being reported as an existing folder.
TEST_F(FileSystemTest, CreateFolderOverAFileFails)
{
    const std::wstring file = Path(L"plain-file");
    std::ofstream(fs::path(file)) << "x";
    try
    {
        CreateFolder(file.c_str());
        FAIL() << "no error raised";
    }
    catch (const SystemError_Posix& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<uint32_t>(EEXIST));
    }
}

TEST_F(FileSystemTest, OpenFileOfAMissingFileRaisesWithThePathAsContext)
{
    const std::wstring missing = Path(L"missing.bin");
    LogCapture log;
    try
    {
        OpenFile(missing.c_str(), L"rb");
        FAIL() << "no error raised";
    }
    catch (const StandardError& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<uint32_t>(ENOENT));
        EXPECT_STREQ(error.GetContext().c_str(), missing.c_str());
    }
    EXPECT_EQ(log.Count(L"Failed to open file.", Q7::Universal::kLogMsgType_Error), 1u);
}

TEST_F(FileSystemTest, OpenFileWritesAndReadsBack)
{
    const std::wstring path = Path(L"data.bin");
    std::FILE* out = OpenFile(path.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::fwrite("abc", 1, 3, out), 3u);
    EXPECT_EQ(std::fclose(out), 0);

    std::FILE* in = OpenFile(path.c_str(), L"rb");
    ASSERT_NE(in, nullptr);
    char buffer[4] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof(buffer), in), 3u);
    EXPECT_STREQ(buffer, "abc");
    std::fclose(in);
}

// Catches descriptors that leak into programs the application starts: the file
// and both file streams are opened close-on-exec.
TEST_F(FileSystemTest, OpenersGiveCloseOnExecDescriptors)
{
    const std::wstring path = Path(L"cloexec.bin");
    std::ofstream(fs::path(path)) << "x";
    const auto checkOnlyDescriptor = [&](const char* opener)
    {
        const std::vector<int> descriptors = DescriptorsOf(fs::path(path));
        ASSERT_EQ(descriptors.size(), 1u) << opener;
        EXPECT_NE(::fcntl(descriptors[0], F_GETFD) & FD_CLOEXEC, 0) << opener;
    };

    std::FILE* file = OpenFile(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    checkOnlyDescriptor("OpenFile");
    std::fclose(file);

    std::fstream input;
    ASSERT_TRUE(OpenInputFileStream(input, path.c_str(), std::ios_base::binary));
    checkOnlyDescriptor("OpenInputFileStream");
    input.close();

    std::fstream output;
    ASSERT_TRUE(OpenOutputFileStream(output, path.c_str(), std::ios_base::app));
    checkOnlyDescriptor("OpenOutputFileStream");
}

// Catches paths that reach the system in another encoding than UTF-8.
TEST_F(FileSystemTest, OpenFileUsesUtf8Names)
{
    const std::wstring path = Path(L"\u00C5ngstr\u00F6m-\U0001F4F7.txt");
    std::FILE* file = OpenFile(path.c_str(), L"w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(fs::exists(m_root / "\xC3\x85ngstr\xC3\xB6m-\xF0\x9F\x93\xB7.txt"));
}

TEST_F(FileSystemTest, OpenFileWithoutModeRaises)
{
    const std::wstring path = Path(L"x.bin");
    EXPECT_THROW(OpenFile(path.c_str(), nullptr), StandardError);
    EXPECT_THROW(OpenFile(path.c_str(), L""), StandardError);
}

TEST_F(FileSystemTest, OpenInputFileStreamOfAMissingFileSetsTheFailBit)
{
    std::fstream stream;
    EXPECT_FALSE(OpenInputFileStream(stream, Path(L"missing.txt").c_str(), std::ios_base::binary));
    EXPECT_TRUE(stream.fail());
    EXPECT_FALSE(stream.is_open());
}

// Catches a stream left in its failed state by an earlier attempt.
TEST_F(FileSystemTest, OpenInputFileStreamClearsTheStateOnSuccess)
{
    const std::wstring path = Path(L"lines.txt");
    std::ofstream(fs::path(path)) << "first line\n";
    std::fstream stream;
    EXPECT_FALSE(OpenInputFileStream(stream, Path(L"missing.txt").c_str(), std::ios_base::openmode{}));
    ASSERT_TRUE(OpenInputFileStream(stream, path.c_str(), std::ios_base::openmode{}));
    EXPECT_TRUE(stream.good());
    std::string line;
    std::getline(stream, line);
    EXPECT_EQ(line, "first line");
}

TEST_F(FileSystemTest, OpenOutputFileStreamWritesTheFile)
{
    const std::wstring path = Path(L"out.txt");
    std::fstream stream;
    ASSERT_TRUE(OpenOutputFileStream(stream, path.c_str(), std::ios_base::trunc));
    stream << "written";
    stream.close();
    std::ifstream check{fs::path(path)};
    std::string text;
    check >> text;
    EXPECT_EQ(text, "written");
}

TEST_F(FileSystemTest, OpenFileStreamWithExceptionMaskRaisesStdExceptionError)
{
    std::fstream stream;
    stream.exceptions(std::ios_base::failbit);
    LogCapture log;
    EXPECT_THROW(OpenInputFileStream(stream, Path(L"missing.txt").c_str(), std::ios_base::openmode{}),
                 StdExceptionError);
    EXPECT_EQ(log.Count(L"Failed to open file.", Q7::Universal::kLogMsgType_Error), 1u);
}

TEST(FileSystemSpecialFolder, ExecutableFolderIsTheFolderOfTheRunningProgram)
{
    std::string self(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    ASSERT_GT(n, 0);
    self.resize(static_cast<size_t>(n));
    EXPECT_EQ(std::wstring(GetSpecialFolder(1).c_str()), FolderOfText(self));
    EXPECT_EQ(std::wstring(GetSpecialFolder(3).c_str()), FolderOfText(self));
    // The test links the library statically, so its module is the executable.
    EXPECT_EQ(std::wstring(GetSpecialFolder(2).c_str()), FolderOfText(self));
}

TEST(FileSystemSpecialFolder, CurrentFolderEndsWithASeparator)
{
    const std::wstring expected = fs::current_path().wstring() + L"/";
    EXPECT_EQ(std::wstring(GetSpecialFolder(4).c_str()), expected);
}

TEST(FileSystemSpecialFolder, TemporaryFolderIsTheSystemOneForKindsTenToThirteen)
{
    const std::wstring expected = fs::canonical(P_tmpdir).wstring() + L"/";
    for (uint32_t kind = 10; kind <= 13; ++kind)
    {
        EXPECT_EQ(std::wstring(GetSpecialFolder(kind).c_str()), expected) << kind;
    }
}

TEST(FileSystemSpecialFolder, FoldersThatNeedTheEnvironmentAreNotOffered)
{
    for (uint32_t kind : {5u, 9u, 14u, 19u, 20u, 21u, 22u})
    {
        try
        {
            GetSpecialFolder(kind);
            ADD_FAILURE() << "kind " << kind << " raised nothing";
        }
        catch (const ModuleError& error)
        {
            EXPECT_EQ(error.GetFullCode(), 0x650067u) << kind;
            EXPECT_STREQ(error.GetContext().c_str(), L"Requested folderPath not implemented.");
        }
    }
}

TEST(FileSystemSpecialFolder, UnknownKindsAreRefused)
{
    LogCapture log;
    for (uint32_t kind : {0u, 23u, 1000u})
    {
        try
        {
            GetSpecialFolder(kind);
            ADD_FAILURE() << "kind " << kind << " raised nothing";
        }
        catch (const ModuleError& error)
        {
            EXPECT_EQ(error.GetFullCode(), 0x650001u) << kind;
            EXPECT_STREQ(error.GetContext().c_str(), L"Unknown folderPath");
        }
    }
    EXPECT_EQ(log.Count(L"Unknown folderPath", Q7::Universal::kLogMsgType_InternalError), 3u);
}

TEST(FileSystemOSVersion, NamesTheSystemAndItsRelease)
{
    utsname names{};
    ASSERT_EQ(::uname(&names), 0);
    const std::wstring text = GetOSVersionText().c_str();
    const std::wstring expected = fs::path(std::string(names.sysname) + " " + names.release).wstring();
    EXPECT_EQ(text.rfind(expected, 0), 0u) << std::string(fs::path(text).string());
}
