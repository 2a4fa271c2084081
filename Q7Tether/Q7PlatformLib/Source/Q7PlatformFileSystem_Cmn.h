#pragma once
// Path handling of the platform library that needs no operating-system call:
// splitting a path into folder and file name, adding and removing the trailing
// separator, joining a folder and a name.
//
// The one separator is "/". A backslash is an ordinary character of a name. The
// root folder "/" is a folder of its own: it never loses its separator, so a
// path split at the root and joined again names the same file.

#include "Q7UniversalString.h"

namespace Q7::Platform
{

/// The path separator.
inline constexpr wchar_t kPathSeparator = L'/';

/// Splits path into its folder and its file name. The file name (when asked for)
/// is cleared first; then one trailing separator is removed (see
/// RemoveTrailingSeparator) and the text is cut at its last separator: the folder
/// is the text before it and the file name the text after it. Without a separator
/// the folder is the whole text and the file name stays empty. A separator at the
/// start gives the root folder "/".
///   "/dir/file.bin" -> "/dir" and "file.bin"; "/dir/sub/" -> "/dir" and "sub";
///   "file.bin" -> "file.bin" and ""; "/file.bin" -> "/" and "file.bin".
/// path may point into folder or *fileName. fileName may be null. Returns folder.
/// Never throws (an allocation failure leaves empty texts). Reentrant.
const Universal::UniversalString& SplitPath(Universal::UniversalString& folder, const wchar_t* path,
                                            Universal::UniversalString* fileName) noexcept;

/// The path with one separator appended, unless it is empty (or null) or already
/// ends with a separator. Never throws. Reentrant.
Universal::UniversalString PathWithSeparator(const wchar_t* path) noexcept;

/// The path without one trailing separator. The root "/" stays "/". Never
/// throws. Reentrant.
Universal::UniversalString RemoveTrailingSeparator(const wchar_t* path) noexcept;

/// The folder, followed, when name is not empty, by a separator (unless the
/// folder is empty or already ends with one) and the name. Never throws.
/// Reentrant.
Universal::UniversalString JoinPath(const wchar_t* folder, const wchar_t* name) noexcept;

/// The characters not to use in file names that must also be valid on the
/// cameras' and other systems' file systems, in this order: backslash, slash,
/// colon, less-than, greater-than, vertical bar, double quote. Never null.
/// Thread-safe.
const wchar_t* GetInvalidFileNameChars() noexcept;

} // namespace Q7::Platform
