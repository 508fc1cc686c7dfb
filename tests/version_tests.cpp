// Every place that shows a version shows CMake's: fb2cols --version and the manual page everywhere;
// on Windows also the version resources of the library and of fb2cols, read back with the system's
// version functions, and pluginst.inf, read with the system's profile functions as an installer would.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support.h"

namespace fs = std::filesystem;

namespace {

using support::host_path;

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(version, fb2cols_prints_the_cmake_version) {
    support::TempDir dir;
    const fs::path out = dir.path() / "out";
    std::string cmd = "\"" + host_path(FB2COLS_EXE).string() + "\" --version >\"" + out.string() + "\"";
#ifdef _WIN32
    cmd = '"' + cmd + '"'; // cmd.exe drops the outer pair of quotes
#endif
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string printed = slurp(out);
    std::erase(printed, '\r');
    EXPECT_EQ(printed, "fb2cols " TOVREL_VERSION "\n");
}

TEST(version, the_manual_page_names_the_cmake_version) {
    const std::string page = slurp(host_path(FB2COLS_MANUAL));
    const size_t th = page.find("\n.TH ");
    ASSERT_NE(th, std::string::npos) << FB2COLS_MANUAL;
    const std::string line = page.substr(th + 1, page.find('\n', th + 1) - th - 1);
    EXPECT_NE(line.find("\"tovrel " TOVREL_VERSION "\""), std::string::npos) << line;
    EXPECT_EQ(page.find('@'), std::string::npos) << "a placeholder left unfilled";
}

#ifdef _WIN32

// "1.2.3" as four numbers, the missing ones 0; parsed here, apart from how the resource gets them
std::vector<unsigned> numbers(const std::string &version) {
    std::vector<unsigned> out;
    std::istringstream in(version);
    for (std::string part; std::getline(in, part, '.');) out.push_back(static_cast<unsigned>(std::stoul(part)));
    out.resize(4, 0);
    return out;
}

std::wstring wide(const std::string &s) {
    return std::wstring(s.begin(), s.end()); // the names and values here are ASCII
}

struct Resource {
    VS_FIXEDFILEINFO fixed{};
    WORD language = 0, code_page = 0;
    std::vector<BYTE> data;

    // a value of the string table the translation names; empty when there is none
    std::wstring text(const wchar_t *name) const {
        wchar_t key[96];
        std::swprintf(key, 96, L"\\StringFileInfo\\%04x%04x\\%ls", language, code_page, name);
        void *p = nullptr;
        UINT len = 0;
        if (!VerQueryValueW(data.data(), key, &p, &len) || !p || len == 0) return {};
        return std::wstring(static_cast<const wchar_t *>(p), len - 1); // len counts the terminator
    }
};

// reads FILE's version resource the way Explorer's properties page does
bool read_resource(const fs::path &file, Resource &r) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return false;
    r.data.resize(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, r.data.data())) return false;
    void *p = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(r.data.data(), L"\\", &p, &len) || len < sizeof r.fixed) return false;
    r.fixed = *static_cast<const VS_FIXEDFILEINFO *>(p);
    if (!VerQueryValueW(r.data.data(), L"\\VarFileInfo\\Translation", &p, &len) || len < 4) return false;
    r.language = static_cast<const WORD *>(p)[0];
    r.code_page = static_cast<const WORD *>(p)[1];
    return true;
}

void expect_cmake_version(const fs::path &file, DWORD file_type, const std::string &shipped_as) {
    Resource r;
    ASSERT_TRUE(read_resource(file, r)) << file << " has no readable version resource, error " << GetLastError();
    const std::vector<unsigned> n = numbers(TOVREL_VERSION);
    EXPECT_EQ(r.fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(HIWORD(r.fixed.dwFileVersionMS), n[0]);
    EXPECT_EQ(LOWORD(r.fixed.dwFileVersionMS), n[1]);
    EXPECT_EQ(HIWORD(r.fixed.dwFileVersionLS), n[2]);
    EXPECT_EQ(LOWORD(r.fixed.dwFileVersionLS), n[3]);
    EXPECT_EQ(r.fixed.dwProductVersionMS, r.fixed.dwFileVersionMS);
    EXPECT_EQ(r.fixed.dwProductVersionLS, r.fixed.dwFileVersionLS);
    EXPECT_EQ(r.fixed.dwFileType, file_type);
    EXPECT_EQ(r.fixed.dwFileFlags & r.fixed.dwFileFlagsMask, 0u) << "flagged debug, patched or pre-release";
    EXPECT_EQ(r.text(L"FileVersion"), wide(TOVREL_VERSION));
    EXPECT_EQ(r.text(L"ProductVersion"), wide(TOVREL_VERSION));
    EXPECT_EQ(r.text(L"ProductName"), L"tovrel");
    EXPECT_EQ(r.text(L"OriginalFilename"), wide(shipped_as));
    EXPECT_EQ(r.text(L"LegalCopyright"), wide(TOVREL_COPYRIGHT));
    EXPECT_FALSE(r.text(L"FileDescription").empty());
    // what a reader of this test's output sees as the file's properties
    std::printf("%s: file version %u.%u.%u.%u, product version %u.%u.%u.%u, translation %04x %04x\n",
                shipped_as.c_str(), HIWORD(r.fixed.dwFileVersionMS), LOWORD(r.fixed.dwFileVersionMS),
                HIWORD(r.fixed.dwFileVersionLS), LOWORD(r.fixed.dwFileVersionLS),
                HIWORD(r.fixed.dwProductVersionMS), LOWORD(r.fixed.dwProductVersionMS),
                HIWORD(r.fixed.dwProductVersionLS), LOWORD(r.fixed.dwProductVersionLS), r.language, r.code_page);
    for (const wchar_t *name : {L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
                                L"OriginalFilename", L"ProductName", L"ProductVersion"})
        std::printf("  %-16ls %ls\n", name, r.text(name).c_str());
}

constexpr bool win64 = sizeof(void *) == 8;

TEST(version_resource, the_library_carries_the_cmake_version) {
    expect_cmake_version(host_path(TOVREL_PLUGIN_FILE), VFT_DLL, win64 ? "tovrel.wdx64" : "tovrel.wdx");
}

TEST(version_resource, fb2cols_carries_the_cmake_version) {
    expect_cmake_version(host_path(FB2COLS_EXE), VFT_APP, win64 ? "fb2cols64.exe" : "fb2cols.exe");
}

std::wstring profile(const fs::path &inf, const wchar_t *key) {
    wchar_t value[512] = {};
    GetPrivateProfileStringW(L"plugininstall", key, L"", value, 512, inf.c_str());
    return value;
}

TEST(version_pluginst_inf, names_the_library_and_the_cmake_version) {
    const fs::path inf = host_path(PLUGINST_INF);
    ASSERT_TRUE(fs::exists(inf)) << inf;
    EXPECT_EQ(profile(inf, L"type"), L"wdx");
    EXPECT_EQ(profile(inf, L"file"), L"tovrel.wdx");
    EXPECT_EQ(profile(inf, L"defaultdir"), L"tovrel");
    EXPECT_EQ(profile(inf, L"version"), wide(TOVREL_VERSION));
    EXPECT_FALSE(profile(inf, L"description").empty());
    // the section holds these five keys and nothing else
    std::vector<wchar_t> keys(4096);
    const DWORD len = GetPrivateProfileStringW(L"plugininstall", nullptr, L"", keys.data(),
                                               static_cast<DWORD>(keys.size()), inf.c_str());
    std::vector<std::wstring> names;
    for (const wchar_t *k = keys.data(); k < keys.data() + len && *k; k += wcslen(k) + 1) names.emplace_back(k);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"description", L"type", L"file", L"defaultdir", L"version"}));
}

TEST(version_pluginst_inf, the_name_a_host_of_this_width_takes_is_the_built_library) {
    // a 64-bit host adds 64 to file='s extension; that must be this build's library, which lies beside
    const fs::path inf = host_path(PLUGINST_INF);
    const std::wstring taken = profile(inf, L"file") + (win64 ? L"64" : L"");
    EXPECT_EQ(taken, host_path(TOVREL_PLUGIN_FILE).filename().wstring());
    EXPECT_TRUE(fs::exists(inf.parent_path() / taken));
}

#endif

} // namespace
