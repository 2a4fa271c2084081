// Replays a fuzz target's corpus without libFuzzer: every argument is a file or
// a folder of files (not descended into), and each file is fed once to the
// target's entry point. Built in the ordinary builds and run by CTest, so the
// seeds (and every crash input added to them) stay checked with any compiler.
#include "FuzzEntry.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace
{

bool ReplayFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A fresh allocation of exactly the file's size, so that AddressSanitizer
    // sees any read beyond the input.
    const auto input = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), input.get());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path argument(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argument))
        {
            for (const auto& entry : std::filesystem::directory_iterator(argument))
            {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
        }
        else
        {
            files.push_back(argument);
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
        {
            if (!ReplayFile(file))
                return 1;
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    // An empty corpus would make the test pass without testing anything.
    return replayed > 0 ? 0 : 1;
}
