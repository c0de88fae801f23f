#include "tests/net/served.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

// The build folder's serve/ as a Wine path.
std::wstring serve_folder() {
    std::wstring path = L"Z:" TALVOREN_SERVE_DIR;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

}  // namespace

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring served_url(const std::wstring& path, int port) {
    const wchar_t* scheme = port == kHttpPort ? L"http" : L"https";
    return std::wstring(scheme) + L"://localhost:" + std::to_wstring(port) + path;
}

void write_served_file(const std::string& relative, const std::string& bytes) {
    std::wstring path = serve_folder() + L"\\root";
    std::stringstream segments(relative);
    std::string segment;
    while (std::getline(segments, segment, '/')) {
        CreateDirectoryW(path.c_str(), nullptr);
        path += L"\\" + widen(segment);
    }
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_manifest(const std::string& text) {
    write_served_file("clients/version.txt", text);
}

std::vector<std::string> request_log(int port) {
    const std::wstring log = serve_folder() + L"\\" + std::to_wstring(port) + L".log";
    std::ifstream file(std::filesystem::path{log});
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool request_logged(const std::string& line, int port) {
    const std::vector<std::string> lines = request_log(port);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string random_bytes(std::size_t size) {
    std::mt19937_64 generator(std::random_device{}());
    std::string bytes(size, '\0');
    for (char& value : bytes) {
        value = static_cast<char>(generator());
    }
    return bytes;
}
