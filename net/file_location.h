// Where the package goes: next to the program, under the last segment of the
// package address.
#pragma once

#include <string>
#include <string_view>

inline constexpr wchar_t kFallbackFileName[] = L"TalvorenInstaller.zip";

// Directory of the running executable without a trailing separator, or "."
// when its path cannot be read or holds no separator.
std::wstring program_directory();

// Everything before the last "\" or "/" of `path`; "." when it has neither.
std::wstring directory_of(std::wstring_view path);

// The last segment of the address's path (never its query), or the fallback
// name when there is none or it is not a plain file name.
std::wstring package_file_name(const std::wstring& package_url);

// True when `name` names a plain file inside a directory: not empty, no
// character Windows forbids in names, not "." or "..", no trailing dot or
// space, and not a device name such as CON or LPT1, with or without an
// extension.
bool is_plain_file_name(std::wstring_view name);

// `directory` ending in one "\": added when missing, as the free-space query
// needs it for a share's root ("\\server\share\").
std::wstring with_trailing_backslash(const std::wstring& directory);

// `directory`, one "\" and `name`, joined as they are.
std::wstring package_file_path(const std::wstring& directory, const std::wstring& name);
