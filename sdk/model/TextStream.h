#pragma once
// The string stream behind the text forms of the data model.

#include <locale>
#include <sstream>

namespace Q7::Tavrin::Detail
{

/// A string stream with default formatting in the classic locale, so that a
/// locale the application set process-wide (a decimal comma, digit grouping)
/// never changes the library's texts.
class TextStream : public std::ostringstream
{
public:
    TextStream() { imbue(std::locale::classic()); }
};

} // namespace Q7::Tavrin::Detail
