// The registry store opening a hive file of arbitrary content: every call must answer with a result code
// (ERROR_BADDB for a damaged file), never crash, and never change the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "comrt/registry.h"

namespace {

std::filesystem::path Folder() {
    static const std::filesystem::path s_Folder = [] {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-registry-fuzz-XXXXXX").string();
        if (mkdtemp(sTemplate.data()) == nullptr) std::abort();
        setenv("CORVANE_REGISTRY_DIR", sTemplate.c_str(), 1);
        return std::filesystem::path(sTemplate);
    }();
    return s_Folder;
}

void Walk(HKEY hKey, int nDepth) {
    for (DWORD i = 0; i < 64; ++i) {
        char16_t szName[256];
        DWORD cchName = 256;
        if (RegEnumKeyExW(hKey, i, szName, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY hSubkey = nullptr;
        if (nDepth < 4 && RegOpenKeyExW(hKey, szName, 0, KEY_READ, &hSubkey) == ERROR_SUCCESS) {
            Walk(hSubkey, nDepth + 1);
            RegCloseKey(hSubkey);
        }
    }
    for (DWORD i = 0; i < 64; ++i) {
        char16_t szName[256];
        DWORD cchName = 256, nType = 0, cbData = 512;
        BYTE data[512];
        if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &nType, data, &cbData) == ERROR_NO_MORE_ITEMS) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::filesystem::path file = Folder() / "classes.db";
    std::error_code ec;
    for (const char* pszSuffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(file.string() + pszSuffix, ec);
    }
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(pData), static_cast<std::streamsize>(cbData));
    }
    RegResetStore();
    HKEY hKey = nullptr;
    const LONG nOpen = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &hKey);
    const bool bDamaged = nOpen == ERROR_BADDB;
    if (bDamaged && RegGetLastStoreError().find(file.string()) == std::string::npos) {
        std::fprintf(stderr, "a damaged hive was reported without its path\n");
        std::abort();
    }
    if (nOpen == ERROR_SUCCESS) {
        Walk(hKey, 0);
        RegCloseKey(hKey);
    }
    Walk(HKEY_CLASSES_ROOT, 0);
    RegResetStore();

    // A file the store could not read must be left exactly as it was.
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bDamaged && (after.size() != cbData || (cbData != 0 && std::memcmp(after.data(), pData, cbData) != 0))) {
        std::fprintf(stderr, "a damaged hive file was changed\n");
        std::abort();
    }
    return 0;
}
