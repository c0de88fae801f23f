// The manifest: a small UTF-8 text at a fixed address whose whole content is
// the address of the installer package.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "net/request_record.h"

inline constexpr std::size_t manifest_body_limit = 65536;
inline constexpr std::size_t read_chunk_size = 4096;

// The manifest address this build was configured with.
const wchar_t* built_manifest_url();

// Fetches the manifest at built_manifest_url(). See fetch_manifest_from.
bool fetch_manifest(std::wstring& out_url);

// True when the manifest at `manifest_url` was read whole (status 2xx, at
// most manifest_body_limit bytes, valid UTF-8) and its trimmed text is an
// http or https address, which is then in `out_url`. When only the address
// test failed, `out_url` holds the rejected text; after any earlier failure
// it is left as it was. A `record` gets what the request and the tests saw.
bool fetch_manifest_from(const std::wstring& manifest_url, std::wstring& out_url,
                         RequestRecord* record = nullptr);

// UTF-16 form of strict UTF-8 without a leading byte-order mark; empty for
// empty or malformed input.
std::wstring utf8_to_wide(std::string_view bytes);

// `text` without white space (iswspace) at either end; inner characters,
// line breaks included, stay.
std::wstring trim_blanks(std::wstring_view text);
