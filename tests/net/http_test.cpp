// The request layer, the manifest fetch and the size query against the real
// loopback servers of the test fixture: what reached the server is read back
// from its request log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "net/http_request.h"
#include "net/manifest.h"
#include "net/package_size.h"
#include "net/tls_choice.h"
#include "tests/net/served.h"

namespace {

bool request_succeeds(const std::wstring& url, const wchar_t* verb = L"GET") {
    HttpRequest http;
    return open_request(url, verb, http) && status_is_success(http.request.get());
}

}  // namespace

TEST(OpenRequest, SendsTheAddressedTargetToTheAddressedPortWithTheUserAgent) {
    // No path and no query: the target is "/" (the server has no file there).
    HttpRequest root;
    ASSERT_TRUE(open_request(served_url(L""), L"HEAD", root));
    EXPECT_FALSE(status_is_success(root.request.get()));
    EXPECT_TRUE(request_logged("HEAD / OmbrixDownloader/1.0"));

    // Plain http on a named port, path and query kept together.
    HttpRequest plain;
    ASSERT_TRUE(open_request(served_url(L"/a/b?x=1", kHttpPort), L"GET", plain));
    EXPECT_TRUE(request_logged("GET /a/b?x=1 OmbrixDownloader/1.0", kHttpPort));

    // User name and password are dropped; the rest of the address goes out.
    EXPECT_TRUE(request_succeeds(L"https://user:pw@localhost:8443/_x/size=3/cred.txt?k=v"));
    EXPECT_TRUE(request_logged("GET /_x/size=3/cred.txt?k=v OmbrixDownloader/1.0"));
}

TEST(OpenRequest, UsesTlsForHttpsOnlyAndTrustsOnlyThePrefixRoots) {
    // Each scheme only works with the server that speaks its protocol.
    EXPECT_FALSE(request_succeeds(L"https://localhost:8480/_x/size=3/tls-to-plain.txt"));
    EXPECT_FALSE(request_succeeds(L"http://localhost:8443/_x/size=3/plain-to-tls.txt"));
    // A certificate from a CA the prefix does not trust is refused.
    EXPECT_FALSE(request_succeeds(served_url(L"/_x/size=3/untrusted.txt", kUntrustedPort)));
    EXPECT_FALSE(
        request_logged("GET /_x/size=3/untrusted.txt OmbrixDownloader/1.0", kUntrustedPort));
}

namespace {

DWORD refusal_error = 0;
DWORD refused_protocols = 0;

// Stands in for a system that refuses TLS 1.3's flag, each with its own error.
bool refuse_protocols(HINTERNET, DWORD protocols) {
    refused_protocols = protocols;
    SetLastError(refusal_error);
    return false;
}

}  // namespace

TEST(OpenRequest, SpeaksTls12AloneWhenTheFirstChoiceIsRefusedWhateverTheError) {
    // 0: the first choice is taken. Either way TLS 1.2 goes through and 1.1 does not.
    for (const DWORD error : {DWORD{0}, DWORD{ERROR_INVALID_PARAMETER},
                              DWORD{ERROR_WINHTTP_INVALID_OPTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
        for (const auto& [port, succeeds] : {std::pair{kTls12OnlyPort, true},
                                             std::pair{kTls11OnlyPort, false}}) {
            refusal_error = error;
            refused_protocols = 0;
            const std::string target = "/_x/size=3/tls-" + std::to_string(error) + ".txt";
            HttpRequest http;
            const bool sent = open_request_choosing_tls(
                served_url(widen(target), port), L"GET", http, nullptr,
                error != 0 ? refuse_protocols : set_secure_protocols);
            const std::string row = std::to_string(error) + " " + std::to_string(port);
            EXPECT_EQ(sent && status_is_success(http.request.get()), succeeds) << row;
            EXPECT_EQ(request_logged("GET " + target + " OmbrixDownloader/1.0", port), succeeds)
                << row;
            EXPECT_EQ(refused_protocols, error != 0 ? WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 |
                                                          WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
                                                    : 0u);
        }
    }
}

TEST(OpenRequest, RefusesOtherSchemesAndUnparsableTextsWithoutASession) {
    for (const wchar_t* url : {L"ftp://localhost/pkg.zip", L"", L"localhost/pkg.zip",
                               L"file:///C:/pkg.zip"}) {
        HttpRequest http;
        EXPECT_FALSE(open_request(url, L"GET", http)) << testing::PrintToString(url);
        EXPECT_FALSE(http.session);
        EXPECT_FALSE(http.connection);
        EXPECT_FALSE(http.request);
    }
}

TEST(OpenRequest, KeepsWhatItOpenedWhenNobodyAnswers) {
    HttpRequest http;
    EXPECT_FALSE(open_request(L"http://localhost:1/nobody.txt", L"GET", http));
    EXPECT_TRUE(http.session);
    EXPECT_TRUE(http.connection);
    EXPECT_TRUE(http.request);
}

TEST(StatusIsSuccess, AcceptsExactly200To299) {
    struct Case {
        int status;
        bool success;
    };
    const Case cases[] = {{200, true},  {204, true},  {299, true},  {199, false},
                          {300, false}, {304, false}, {404, false}, {500, false}};
    for (const Case& c : cases) {
        const std::wstring url =
            served_url(L"/_x/status=" + std::to_wstring(c.status) + L"/size=5/status.txt");
        EXPECT_EQ(request_succeeds(url), c.success) << c.status;
    }
}

TEST(FetchManifest, TakesTheTrimmedAddressOfAValidUtf8Body) {
    struct Case {
        const char* name;
        std::string body;
        bool accepted;
        std::wstring url;
    };
    const std::string address = "https://localhost:8443/pkgs/Setup-1.2.zip";
    const std::wstring wide = L"https://localhost:8443/pkgs/Setup-1.2.zip";
    const Case cases[] = {
        {"plain", address, true, wide},
        {"line-break", address + "\n", true, wide},
        {"bom-blanks-crlf", "\xEF\xBB\xBF  " + address + "\r\n", true, wide},
        {"bom-then-blanks", "\xEF\xBB\xBF\r\n\t" + address + " \n\n", true, wide},
        {"http", "http://localhost:8480/p.zip", true, L"http://localhost:8480/p.zip"},
        {"ftp", "ftp://localhost/p.zip\n", false, L"ftp://localhost/p.zip"},
        {"words", "not an address", false, L"not an address"},
        {"empty", "", false, L""},
        {"blank", " \r\n\t \n", false, L""},
        {"invalid-utf8", address + "\xC3(", false, L""},
        {"utf16", std::string("\xFF\xFEh\0t\0t\0p\0:\0/\0/\0h\0/\0", 20), false, L""},
        // Not cut at the first line: the whole text, line break and all, is
        // what the address test takes, and it parses as one https address.
        {"two-lines", address + "\nhttps://localhost/other.zip\n", true,
         wide + L"\nhttps://localhost/other.zip"},
    };
    for (const Case& c : cases) {
        write_served_file(std::string("manifests/") + c.name + ".txt", c.body);
        std::wstring url = L"untouched";
        EXPECT_EQ(fetch_manifest_from(served_url(L"/manifests/" + widen(c.name) + L".txt"), url),
                  c.accepted)
            << c.name;
        EXPECT_EQ(url, c.url) << c.name;
    }
}

TEST(FetchManifest, Reads65536BytesButNotOneMoreHoweverTheReadsAreSplit) {
    const std::string address = "https://localhost:8443/pkgs/limit.zip";
    write_served_file("manifests/65536.txt", address + std::string(65536 - address.size(), ' '));
    write_served_file("manifests/65537.txt", address + std::string(65537 - address.size(), '\n'));
    // Whole, in 64 KiB chunks of a chunked body, and in 20000-byte pieces.
    for (const std::wstring delivery :
         {L"", L"chunked/", L"rate=200000/", L"rate=400000/chunked/"}) {
        std::wstring url = L"untouched";
        EXPECT_TRUE(fetch_manifest_from(
            served_url(L"/_x/" + delivery + L"file=manifests%2F65536.txt/version.txt"), url))
            << testing::PrintToString(delivery);
        EXPECT_EQ(url, L"https://localhost:8443/pkgs/limit.zip");

        url = L"untouched";
        EXPECT_FALSE(fetch_manifest_from(
            served_url(L"/_x/" + delivery + L"file=manifests%2F65537.txt/version.txt"), url))
            << testing::PrintToString(delivery);
        EXPECT_EQ(url, L"untouched");
    }
}

TEST(FetchManifest, FailsOnABadStatusOrABrokenBodyWithoutTouchingTheResult) {
    write_served_file("manifests/good.txt", "https://localhost:8443/pkgs/good.zip\n");
    // Marks this run's request for the huge 404 in the log.
    const std::string run = "?run=" + std::to_string(GetTickCount64());
    std::wstring url;
    ASSERT_TRUE(fetch_manifest_from(served_url(L"/manifests/good.txt"), url));

    const std::wstring failing[] = {
        // A good manifest behind an error status is not taken.
        served_url(L"/_x/status=404/file=manifests%2Fgood.txt/version.txt"),
        served_url(L"/_x/status=500/file=manifests%2Fgood.txt/version.txt"),
        // A 404 with a gigabyte of body: answered from the status line alone.
        served_url(L"/_x/status=404/size=1073741824/version.txt" + widen(run)),
        served_url(L"/_x/file=manifests%2Fgood.txt/reset=10/version.txt"),
        served_url(L"/missing/version.txt"),
        served_url(L"/manifests/good.txt", kUntrustedPort),
        L"http://localhost:1/clients/version.txt",
    };
    for (const std::wstring& address : failing) {
        url = L"untouched";
        EXPECT_FALSE(fetch_manifest_from(address, url)) << testing::PrintToString(address);
        EXPECT_EQ(url, L"untouched") << testing::PrintToString(address);
    }
    const std::vector<std::string> lines = request_log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "GET /_x/status=404/size=1073741824/version.txt" + run +
                             " OmbrixDownloader/1.0"),
              1);
}

TEST(QueryPackageSize, TakesAPositiveContentLengthOfA2xxHeadResponse) {
    struct Case {
        const wchar_t* options;
        bool accepted;
        std::uint64_t size;
    };
    const Case cases[] = {
        {L"size=1000", true, 1000},
        {L"status=299/size=1000", true, 1000},
        {L"status=204/cl=7", true, 7},
        {L"head-cl=1048576abc/size=1", true, 1048576},
        {L"cl=18446744073709551615", true, 18446744073709551615ull},
        {L"size=0", false, 0},
        {L"status=199/size=1000", false, 0},
        {L"status=300/size=1000", false, 0},
        {L"status=304/cl=1000", false, 0},
        {L"status=404/size=1000", false, 0},
        {L"status=500/size=1000", false, 0},
        {L"head-cl=none/size=1000", false, 0},
        {L"head-chunked/size=1000", false, 0},
        // How the text is read is the parser's table; here only that the header
        // reaches it, and the buffer's limit: 63 characters fit it, 64 do not,
        // whatever number they spell.
        {L"cl=000000000000000000000000000000000000000000000000000000000000007", true, 7},
        {L"cl=0000000000000000000000000000000000000000000000000000000000000007", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t size = 0;
        const std::wstring url = served_url(L"/_x/" + std::wstring(c.options) + L"/size.zip");
        EXPECT_EQ(query_package_size(url, size), c.accepted) << testing::PrintToString(c.options);
        if (c.accepted) {
            EXPECT_EQ(size, c.size) << testing::PrintToString(c.options);
        }
    }
    std::uint64_t size = 0;
    EXPECT_FALSE(query_package_size(L"http://localhost:1/nobody.zip", size));
    EXPECT_TRUE(request_logged("HEAD /_x/size=1000/size.zip OmbrixDownloader/1.0"));
}
