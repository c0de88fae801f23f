// The loopback distribution servers of the test fixture (tests/support/servers.py)
// as the in-process tests see them: addresses, the served folder and the
// request logs.
#pragma once

#include <string>
#include <vector>

inline constexpr int kHttpsPort = 8443;
inline constexpr int kHttpPort = 8480;
inline constexpr int kUntrustedPort = 8444;
// Trusted, but each offering one TLS version alone.
inline constexpr int kTls12OnlyPort = 8445;
inline constexpr int kTls11OnlyPort = 8446;
inline constexpr wchar_t kUserAgent[] = L"OmbrixDownloader/1.0";

// "https://localhost:8443" + path, or http for kHttpPort.
std::wstring served_url(const std::wstring& path, int port = kHttpsPort);

// Writes `bytes` to the served folder under `relative` ("/" separated),
// making folders as needed; the file is then at served_url("/" + relative).
void write_served_file(const std::string& relative, const std::string& bytes);
std::string read_file(const std::wstring& path);

// The manifest every real preparation worker reads.
void write_manifest(const std::string& text);

// One "METHOD TARGET USER-AGENT" line per request the server on `port` got.
std::vector<std::string> request_log(int port = kHttpsPort);

// Whether the server on `port` got a request that logged exactly `line`.
bool request_logged(const std::string& line, int port = kHttpsPort);

// ASCII text as a wide string.
std::wstring widen(const std::string& text);

// `size` bytes that no two calls share, so a misplaced block shows.
std::string random_bytes(std::size_t size);
