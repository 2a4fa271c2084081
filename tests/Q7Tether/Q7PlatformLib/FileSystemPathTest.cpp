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

TEST(FileSystemPath, SplitPathCutsAtTheLastSeparator)
{
    const Split split = SplitOf(L"/dir/file.bin");
    EXPECT_EQ(split.folder, L"/dir");
    EXPECT_EQ(split.name, L"file.bin");
}

TEST(FileSystemPath, SplitPathOfAFolderWithTrailingSeparatorNamesTheLastFolder)
{
    const Split split = SplitOf(L"/dir/sub/");
    EXPECT_EQ(split.folder, L"/dir");
    EXPECT_EQ(split.name, L"sub");
}

TEST(FileSystemPath, SplitPathWithoutSeparatorKeepsTheWholeTextAsFolder)
{
    const Split split = SplitOf(L"file.bin");
    EXPECT_EQ(split.folder, L"file.bin");
    EXPECT_EQ(split.name, L"");
}

// A backslash is a character of a name here, never a separator.
TEST(FileSystemPath, SplitPathTreatsBackslashAsAnOrdinaryCharacter)
{
    const Split split = SplitOf(L"/dir/a\\b.txt");
    EXPECT_EQ(split.folder, L"/dir");
    EXPECT_EQ(split.name, L"a\\b.txt");
    EXPECT_EQ(SplitOf(L"C:\\dir\\file.bin").folder, L"C:\\dir\\file.bin");
}

// Catches a root folder that became the empty (relative) path: joining it again
// must name the same file.
TEST(FileSystemPath, SplitPathAtTheRootKeepsTheRootFolder)
{
    Split split = SplitOf(L"/file.bin");
    EXPECT_EQ(split.folder, L"/");
    EXPECT_EQ(split.name, L"file.bin");
    EXPECT_EQ(std::wstring(JoinPath(split.folder.c_str(), split.name.c_str()).c_str()), L"/file.bin");

    split = SplitOf(L"/dir/");
    EXPECT_EQ(split.folder, L"/");
    EXPECT_EQ(split.name, L"dir");

    split = SplitOf(L"/");
    EXPECT_EQ(split.folder, L"/");
    EXPECT_EQ(split.name, L"");
}

TEST(FileSystemPath, SplitPathOfNullOrEmptyGivesEmptyTexts)
{
    EXPECT_EQ(SplitOf(nullptr).folder, L"");
    EXPECT_EQ(SplitOf(L"").folder, L"");
    EXPECT_EQ(SplitOf(L"").name, L"");
}

TEST(FileSystemPath, SplitPathWithoutFileNameOutputGivesTheFolder)
{
    UniversalString folder;
    SplitPath(folder, L"/a/b/c.txt", nullptr);
    EXPECT_STREQ(folder.c_str(), L"/a/b");
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
