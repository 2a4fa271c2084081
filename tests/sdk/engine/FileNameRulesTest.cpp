// The bridge's text rules, as tables: the serial number in a network camera's
// name and the suffix test of firmware uploads.

#include "KpxLibTransport.h"

#include <gtest/gtest.h>

namespace
{

using Q7::TavrinC::KpxLibTransport;

// Catches: a serial of the wrong shape taken, its parentheses kept, a later
// match preferred to the first, and a partial match accepted.
TEST(FileNameRulesTest, ExtractSerialNumber)
{
    const std::pair<const char*, const char*> rows[] = {
        {"Studio (AB123456)", "AB123456"},
        {"(a_123456)", "a_123456"},
        {"(AB123456) and (CD654321)", "AB123456"},
        {"Studio", ""},
        {"Studio (AB12345)", ""},
        {"Studio (AB1234567)", ""},
        {"Studio (A-123456)", ""},
        {"Studio (ABC23456)", ""},
        {"Studio AB123456", ""},
        {"((AB123456))", "AB123456"},
        {"(\xc3\xa9\xc3\xa9"
         "123456)",
         ""},
        {"", ""},
    };
    for (const auto& [text, serial] : rows)
    {
        EXPECT_EQ(KpxLibTransport::ExtractSerialNumber(text), serial) << text;
    }
}

// Catches: a case-insensitive suffix test, and a suffix found elsewhere than
// at the end.
TEST(FileNameRulesTest, HasFileSuffixComparesTheEndByteForByte)
{
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"update.fwr", ".fwr", true}, {"update.FWR", ".fwr", false}, {"update.fwr.bak", ".fwr", false},
        {".fwr", ".fwr", true},       {"fwr", ".fwr", false},        {"", ".fwr", false},
        {"update.fwp", ".fwp", true}, {"a.fwp", "", true},
    };
    for (const auto& [name, suffix, expected] : rows)
    {
        EXPECT_EQ(KpxLibTransport::HasFileSuffix(name, suffix), expected) << name << " " << suffix;
    }
}

} // namespace
