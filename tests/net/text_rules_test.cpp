// The pure rules of the pipeline, from tables: trimming, UTF-8 decoding,
// package file names and paths, Content-Length texts and drive labels.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "net/file_location.h"
#include "net/http_request.h"
#include "net/manifest.h"
#include "net/package_size.h"
#include "net/workers.h"

namespace {

struct TextCase {
    const wchar_t* input;
    const wchar_t* expected;
};

}  // namespace

TEST(TrimBlanks, RemovesWhiteSpaceAtBothEndsOnly) {
    const TextCase cases[] = {
        {L"", L""},
        {L" \t\r\n\v\f", L""},
        {L"https://a/b", L"https://a/b"},
        {L"https://a/b\n", L"https://a/b"},
        {L"  https://a/b\r\n", L"https://a/b"},
        {L"\thttps://a/b \n https://c/d\r\n", L"https://a/b \n https://c/d"},
        {L"x", L"x"},
        {L" x ", L"x"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(trim_blanks(c.input), c.expected) << "input: " << testing::PrintToString(c.input);
    }
}

TEST(Utf8ToWide, DecodesStrictUtf8AndDropsOneLeadingByteOrderMark) {
    struct Case {
        std::string bytes;
        std::wstring expected;
    };
    const Case cases[] = {
        {"", L""},
        {"https://a/b", L"https://a/b"},
        {"\xEF\xBB\xBF", L""},
        {"\xEF\xBB\xBFhttps://a/b", L"https://a/b"},
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", L"\xFEFFx"},
        {"\xE4\xB8\x8B\xE8\xBD\xBD", L"下载"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        // Malformed: lone continuation, truncated sequence, overlong form,
        // surrogate code point, byte-order-marked UTF-16.
        {"\x80", L""},
        {"ab\xE4\xB8", L""},
        {"\xC0\xAF", L""},
        {"\xED\xA0\x80", L""},
        {"\xFF\xFEh\0t\0", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_to_wide(c.bytes), c.expected) << testing::PrintToString(c.bytes);
    }
}

TEST(PackageFileName, TakesTheLastPathSegmentOrTheFallback) {
    const TextCase cases[] = {
        {L"https://h/downloads/Setup-1.2.zip", L"Setup-1.2.zip"},
        {L"http://h:8080/a/b/c.exe", L"c.exe"},
        {L"https://h/a%20b.zip", L"a%20b.zip"},
        {L"https://h/下载/安装包.zip", L"安装包.zip"},
        {L"https://h/pkg.zip?x=1", L"pkg.zip"},
        {L"https://h/pkg.zip?name=../../evil.exe", L"pkg.zip"},
        {L"https://h/", kFallbackFileName},
        {L"https://h/downloads/", kFallbackFileName},
        {L"https://h", kFallbackFileName},
        {L"https://h?x=1", kFallbackFileName},
        {L"", kFallbackFileName},
        {L"not an address", kFallbackFileName},
        // Names that would leave the directory or not be a plain file.
        {L"https://h/a/..", kFallbackFileName},
        {L"https://h/a/.", kFallbackFileName},
        {L"https://h/..\\..\\evil.exe", kFallbackFileName},
        {L"https://h/C:evil.exe", kFallbackFileName},
        {L"https://h/pkg.zip.", kFallbackFileName},
        {L"https://h/pkg.zip%20", L"pkg.zip%20"},
        {L"https://h/nul", kFallbackFileName},
        {L"https://h/Com7.zip", kFallbackFileName},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(package_file_name(c.input), c.expected) << testing::PrintToString(c.input);
    }
}

TEST(PlainFileName, RefusesForbiddenCharactersDotNamesAndDevices) {
    const wchar_t* accepted[] = {
        L"Setup-1.2.zip", L"a", L".hidden", L"a..b", L"a b.zip", L"安装包.zip", L"CONSOLE.zip",
        L"COM0", L"COM10", L"LPT", L"xNUL", L"NUL_", L"COM1x.txt", L"a\x7F",
    };
    for (const wchar_t* name : accepted) {
        EXPECT_TRUE(is_plain_file_name(name)) << testing::PrintToString(name);
    }
    const wchar_t* refused[] = {
        L"", L".", L"..", L"a.", L"a ", L"...", L"a<b", L"a>b", L"a:b", L"a\"b", L"a/b",
        L"a\\b", L"a|b", L"a?b", L"a*b", L"a\tb", L"a\x1F", L"CON", L"con", L"Prn.txt",
        L"AUX.tar.gz", L"nul", L"COM1", L"com9.zip", L"LPT1", L"lpt9", L"CON .txt",
    };
    for (const wchar_t* name : refused) {
        EXPECT_FALSE(is_plain_file_name(name)) << testing::PrintToString(name);
    }
    EXPECT_FALSE(is_plain_file_name(std::wstring(L"a\0b", 3)));
}

TEST(PackageLocation, CutsTheProgramPathAtItsLastSeparatorAndJoinsWithOneBackslash) {
    const TextCase directories[] = {
        {L"C:\\Users\\me\\Downloads\\setup.exe", L"C:\\Users\\me\\Downloads"},
        {L"D:\\setup.exe", L"D:"},
        {L"Z:\\tmp/setup.exe", L"Z:\\tmp"},
        {L"Z:/tmp\\x/setup.exe", L"Z:/tmp\\x"},
        {L"setup.exe", L"."},
        {L"", L"."},
        {L"\\\\server\\share\\setup.exe", L"\\\\server\\share"},
    };
    for (const TextCase& c : directories) {
        EXPECT_EQ(directory_of(c.input), c.expected) << testing::PrintToString(c.input);
    }
    EXPECT_EQ(package_file_path(L"D:", L"pkg.zip"), L"D:\\pkg.zip");
    EXPECT_EQ(package_file_path(L".", L"pkg.zip"), L".\\pkg.zip");
    EXPECT_EQ(package_file_path(L"C:\\a\\", L"pkg.zip"), L"C:\\a\\\\pkg.zip");
    EXPECT_EQ(with_trailing_backslash(L"\\\\server\\share"), L"\\\\server\\share\\");
    EXPECT_EQ(with_trailing_backslash(L"C:\\"), L"C:\\");
}

TEST(PackageLocation, ProgramDirectoryIsTheFolderOfThisExe) {
    wchar_t module[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
    const std::wstring directory = program_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), L'\\');
    EXPECT_EQ(std::wstring(module).rfind(directory + L"\\", 0), 0u);
    EXPECT_EQ(GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(ContentLength, TakesLeadingDigitsOfAPositive64BitValue) {
    struct Case {
        const wchar_t* text;
        bool accepted;
        std::uint64_t size;
    };
    const Case cases[] = {
        {L"1", true, 1},
        {L"1048576", true, 1048576},
        {L"1048576abc", true, 1048576},
        {L"1048576 ", true, 1048576},
        {L"007", true, 7},
        {L"18446744073709551615", true, 18446744073709551615ull},
        {L"18446744073709551616", false, 0},
        {L"99999999999999999999999", false, 0},
        {L"0", false, 0},
        {L"000", false, 0},
        {L"", false, 0},
        {L"abc", false, 0},
        {L"-1", false, 0},
        {L"+5", false, 0},
        {L" 5", false, 0},
        {L"\t5", false, 0},
        {L"0x10", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t size = 0;
        EXPECT_EQ(parse_content_length(c.text, size), c.accepted) << testing::PrintToString(c.text);
        if (c.accepted) {
            EXPECT_EQ(size, c.size) << testing::PrintToString(c.text);
        }
    }
}

TEST(DriveLabel, IsTheLetterOfADriveRootOrTheCurrentDiskWording) {
    const TextCase cases[] = {
        {L"C:\\", L"C"},        {L"s:\\", L"s"},
        {L"S:", L"S"},          {L"\\\\?\\Volume{1234}\\", L"当前磁盘"},
        {L"\\\\srv\\share\\", L"当前磁盘"}, {L"/", L"当前磁盘"},
        {L"C", L"当前磁盘"},     {L"", L"当前磁盘"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(drive_label(c.input), c.expected) << testing::PrintToString(c.input);
    }
}

TEST(UrlParts, SplitsHostPortPathAndQueryAndTellsHttpAddressesApart) {
    UrlParts parts;
    ASSERT_TRUE(crack_url(L"http://user:pw@h:8080/a/b?x=1", parts));
    EXPECT_EQ(parts.scheme, INTERNET_SCHEME_HTTP);
    EXPECT_EQ(parts.port, 8080);
    EXPECT_EQ(parts.host, L"h");
    EXPECT_EQ(parts.path, L"/a/b");
    EXPECT_EQ(parts.extra, L"?x=1");

    ASSERT_TRUE(crack_url(L"https://h", parts));
    EXPECT_EQ(parts.scheme, INTERNET_SCHEME_HTTPS);
    EXPECT_EQ(parts.port, 443);
    EXPECT_EQ(parts.path, L"");
    EXPECT_EQ(parts.extra, L"");

    EXPECT_TRUE(is_http_address(L"http://h/p"));
    EXPECT_TRUE(is_http_address(L"https://h:1/p?q"));
    EXPECT_FALSE(is_http_address(L"ftp://h/p"));
    EXPECT_FALSE(is_http_address(L""));
    EXPECT_FALSE(is_http_address(L"h/p"));
}
