// Baseline for the download benchmark: the least a WinHTTP download under
// this platform can do. One GET, reads of 1 MiB written straight to a file,
// nothing else; prints the seconds from opening the session to the last
// write. Its own calls on purpose: it must not share the code it is the
// yardstick for.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: winhttp_loop URL OUTPUT\n", stderr);
        return 2;
    }
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts)) {
        return 1;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;

    const ULONGLONG start = GetTickCount64();
    const UniqueInternetHandle session(
        WinHttpOpen(L"winhttp_loop", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                    WINHTTP_NO_PROXY_BYPASS, 0));
    const UniqueInternetHandle connection(
        WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    const UniqueInternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(),
                                                          nullptr, WINHTTP_NO_REFERER,
                                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return 1;
    }
    const UniqueKernelHandle file(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 1;
    }
    std::vector<char> buffer(1048576);
    unsigned long long total = 0;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                             &read)) {
            return 1;
        }
        if (read == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read) {
            return 1;
        }
        total += written;
    }
    std::printf("bytes=%llu\nseconds=%.3f\n", total, (GetTickCount64() - start) / 1000.0);
    return 0;
}
