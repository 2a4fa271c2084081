// Path splitting, separators and joining: pure text work with "/" as the one
// separator.

#include "Q7PlatformFileSystem_Cmn.h"

#include <gtest/gtest.h>

#include <string>

using Q7::Platform::GetInvalidFileNameChars;
using Q7::Platform::JoinPath;
using Q7::Platform::PathWithSeparator;
using Q7::Platform::RemoveTrailingSeparator;
using Q7::Platform::SplitPath;
using Q7::Universal::UniversalString;

namespace
{

struct Split
{
    std::wstring folder;
    std::wstring name;
};

Split SplitOf(const wchar_t* path)
{
    UniversalString folder;
    UniversalString name;
    const UniversalString& returned = SplitPath(folder, path, &name);
    EXPECT_EQ(&returned, &folder);
    return {folder.c_str(), name.c_str()};
}

} // namespace

// Each row catches its own fault: a cut at the wrong separator, a trailing
// separator taken for an empty name, a backslash taken for a separator, a root
// folder that became the empty (relative) path.
TEST(FileSystemPath, SplitPathCutsAtTheLastSeparator)
{
    struct Row
    {
        const wchar_t* path;
        const wchar_t* folder;
        const wchar_t* name;
    };
    const Row rows[] = {
        {L"/dir/file.bin", L"/dir", L"file.bin"},
        {L"/dir/sub/", L"/dir", L"sub"},
        {L"/a/b/c.txt", L"/a/b", L"c.txt"},
        {L"file.bin", L"file.bin", L""},
        {L"/dir/a\\b.txt", L"/dir", L"a\\b.txt"},
        {L"C:\\dir\\file.bin", L"C:\\dir\\file.bin", L""},
        {L"/file.bin", L"/", L"file.bin"},
        {L"/dir/", L"/", L"dir"},
        {L"/", L"/", L""},
        {L"", L"", L""},
        {nullptr, L"", L""},
    };
    for (const Row& row : rows)
    {
        const wchar_t* const shown = row.path != nullptr ? row.path : L"(null)";
        const Split split = SplitOf(row.path);
        EXPECT_EQ(split.folder, row.folder) << shown;
        EXPECT_EQ(split.name, row.name) << shown;
        UniversalString folderOnly;
        SplitPath(folderOnly, row.path, nullptr);
        EXPECT_STREQ(folderOnly.c_str(), row.folder) << shown << " without a name output";
    }
    // Split at the root and joined again, a path names the same file.
    EXPECT_STREQ(JoinPath(L"/", L"file.bin").c_str(), L"/file.bin");
}

TEST(FileSystemPath, SplitPathClearsAnEarlierFileName)
{
    UniversalString folder;
    UniversalString name;
    name.Assign(L"stale");
    SplitPath(folder, L"no-separator", &name);
    EXPECT_STREQ(name.c_str(), L"");
}

// Catches reading a path that the output has already overwritten.
TEST(FileSystemPath, SplitPathAcceptsAPathInsideItsOwnOutputs)
{
    UniversalString folder;
    folder.Assign(L"/x/y/z.bin");
    UniversalString name;
    SplitPath(folder, folder.c_str(), &name);
    EXPECT_STREQ(folder.c_str(), L"/x/y");
    EXPECT_STREQ(name.c_str(), L"z.bin");

    name.Assign(L"/p/q.txt");
    SplitPath(folder, name.c_str(), &name);
    EXPECT_STREQ(folder.c_str(), L"/p");
    EXPECT_STREQ(name.c_str(), L"q.txt");
}

TEST(FileSystemPath, PathWithSeparatorAddsOneSeparatorOnlyWhenMissing)
{
    EXPECT_STREQ(PathWithSeparator(L"").c_str(), L"");
    EXPECT_STREQ(PathWithSeparator(nullptr).c_str(), L"");
    EXPECT_STREQ(PathWithSeparator(L"/dir").c_str(), L"/dir/");
    EXPECT_STREQ(PathWithSeparator(L"/dir/").c_str(), L"/dir/");
    EXPECT_STREQ(PathWithSeparator(L"/").c_str(), L"/");
    EXPECT_STREQ(PathWithSeparator(L"dir\\").c_str(), L"dir\\/");
}

TEST(FileSystemPath, RemoveTrailingSeparatorRemovesOneButKeepsTheRoot)
{
    EXPECT_STREQ(RemoveTrailingSeparator(L"/dir/").c_str(), L"/dir");
    EXPECT_STREQ(RemoveTrailingSeparator(L"/dir").c_str(), L"/dir");
    EXPECT_STREQ(RemoveTrailingSeparator(L"/dir//").c_str(), L"/dir/");
    EXPECT_STREQ(RemoveTrailingSeparator(L"/").c_str(), L"/");
    EXPECT_STREQ(RemoveTrailingSeparator(L"").c_str(), L"");
    EXPECT_STREQ(RemoveTrailingSeparator(nullptr).c_str(), L"");
}

TEST(FileSystemPath, JoinPathPutsOneSeparatorBetweenFolderAndName)
{
    EXPECT_STREQ(JoinPath(L"/dir", L"x.bin").c_str(), L"/dir/x.bin");
    EXPECT_STREQ(JoinPath(L"/dir/", L"x.bin").c_str(), L"/dir/x.bin");
    EXPECT_STREQ(JoinPath(L"/", L"x.bin").c_str(), L"/x.bin");
    EXPECT_STREQ(JoinPath(L"", L"x.bin").c_str(), L"x.bin");
    EXPECT_STREQ(JoinPath(L"/dir", L"").c_str(), L"/dir");
    EXPECT_STREQ(JoinPath(L"/dir", nullptr).c_str(), L"/dir");
}

TEST(FileSystemPath, InvalidFileNameCharsAreTheSevenInOrder)
{
    EXPECT_STREQ(GetInvalidFileNameChars(), L"\\/:<>|\"");
}
