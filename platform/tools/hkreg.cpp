// hkreg: looks at and changes the registry store from a shell.
//
//   hkreg export <key>                         prints the key and everything below it as text
//   hkreg set <key> <name> <type> [<data>...]  sets a value, creating the key when missing
//   hkreg delete <key> [<name>]                deletes the key with everything below it, or one value
//
// <key> is HKCR, HKLM or HKCU (or HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER) followed by an
// optional backslash-separated path. <name> "@" or "" is the default value. <type>: REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ (one argument per string), REG_DWORD, REG_QWORD (decimal or 0x hexadecimal), REG_BINARY (hex
// bytes, optionally separated by commas). Exit code 0 on success, 1 when the store refuses, 2 for a usage error.
//
// The export prints one block per key: "[HKEY_CLASSES_ROOT\CLSID\{...}]", then the values, @="..." for the
// default one, "Name"="text", "Name"=dword:0000002a, "Name"=hex:01,02; other types as hex(<type>):...
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "comrt/registry.h"
#include "comrt/runtime.h"
#include "comrt/text.h"

namespace {

struct Root {
    const char* pszShort;
    const char* pszLong;
    HKEY hKey;
};
const Root kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
};

struct KeyName {
    const Root* pRoot = nullptr;
    std::u16string path;  // below the root, no leading or trailing separator
    std::string Text() const {
        std::string s = pRoot->pszLong;
        if (!path.empty()) s += "\\" + comrt::ToUtf8(path);
        return s;
    }
};

int Usage() {
    std::fputs(
        "usage: hkreg export <key>\n"
        "       hkreg set <key> <name> <type> [<data>...]\n"
        "       hkreg delete <key> [<name>]\n"
        "<key>: HKCR, HKLM or HKCU, optionally followed by \\path\n"
        "<type>: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY\n",
        stderr);
    return 2;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return comrt::EqualsNoCase(comrt::ToUtf16(a), comrt::ToUtf16(b));
}

bool ParseKey(const char* psz, KeyName* pKey) {
    std::string_view s(psz);
    const std::size_t n = s.find('\\');
    const std::string_view root = s.substr(0, n);
    for (const Root& r : kRoots) {
        if (EqualsNoCase(root, r.pszShort) || EqualsNoCase(root, r.pszLong)) pKey->pRoot = &r;
    }
    if (!pKey->pRoot) {
        std::fprintf(stderr, "hkreg: unknown root key \"%.*s\" (HKCR, HKLM or HKCU)\n", static_cast<int>(root.size()),
                     root.data());
        return false;
    }
    std::string_view path = n == std::string_view::npos ? std::string_view() : s.substr(n + 1);
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    pKey->path = comrt::ToUtf16(path);
    return true;
}

int Fail(const std::string& sWhat, LONG nResult, const char* pszMissing = "no such key") {
    std::string sMessage =
        nResult == ERROR_FILE_NOT_FOUND
            ? pszMissing
            : comrt::ToUtf8(FormatSystemMessage(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult))));
    std::fprintf(stderr, "hkreg: %s: %s (error %d)\n", sWhat.c_str(), sMessage.c_str(), static_cast<int>(nResult));
    const std::string sStore = RegGetLastStoreError();
    if (!sStore.empty()) std::fprintf(stderr, "hkreg: %s\n", sStore.c_str());
    return 1;
}

std::string Quoted(std::u16string_view s) {
    std::string out = "\"";
    for (char c : comrt::ToUtf8(s)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Hex(const std::vector<BYTE>& data) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) s += ',';
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    return s;
}

// REG_SZ data that reads back as one line of text: even length, one terminating NUL, no control characters.
bool PrintableString(const std::vector<BYTE>& data, std::u16string* pText) {
    if (data.size() < 2 || data.size() % 2) return false;
    std::u16string s(data.size() / 2, u'\0');
    std::memcpy(s.data(), data.data(), data.size());
    if (s.back() != 0) return false;
    s.pop_back();
    for (char16_t c : s) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    *pText = std::move(s);
    return true;
}

std::string FormatValue(DWORD nType, const std::vector<BYTE>& data) {
    std::u16string text;
    if (nType == REG_SZ && PrintableString(data, &text)) return Quoted(text);
    if (nType == REG_DWORD && data.size() == 4) {
        DWORD n = 0;
        std::memcpy(&n, data.data(), 4);
        char sz[32];
        std::snprintf(sz, sizeof(sz), "dword:%08x", static_cast<unsigned>(n));
        return sz;
    }
    if (nType == REG_BINARY) return "hex:" + Hex(data);
    char sz[32];
    std::snprintf(sz, sizeof(sz), "hex(%x):", static_cast<unsigned>(nType));
    return sz + Hex(data);
}

LONG ExportKey(HKEY hKey, const std::string& sName, std::string* pOut) {
    *pOut += "[" + sName + "]\n";
    DWORD nValues = 0;
    DWORD nMaxName = 0;
    DWORD nMaxData = 0;
    LONG nResult = RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nValues, &nMaxName,
                                    &nMaxData, nullptr, nullptr);
    if (nResult != ERROR_SUCCESS) return nResult;
    std::vector<char16_t> name(nMaxName + 1);
    std::vector<BYTE> data(nMaxData);
    for (DWORD i = 0;; ++i) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = static_cast<DWORD>(data.size());
        DWORD nType = 0;
        nResult = RegEnumValueW(hKey, i, name.data(), &cchName, nullptr, &nType, data.data(), &cbData);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult == ERROR_MORE_DATA) {
            // Changed by someone else since the sizes were asked for: grow and read the same value again.
            name.resize(std::max<std::size_t>(name.size(), cchName + 1));
            data.resize(std::max<std::size_t>(data.size(), cbData));
            --i;
            continue;
        }
        if (nResult != ERROR_SUCCESS) return nResult;
        std::vector<BYTE> value(data.begin(), data.begin() + cbData);
        const std::u16string_view valueName(name.data(), cchName);
        *pOut += (valueName.empty() ? std::string("@") : Quoted(valueName)) + "=" + FormatValue(nType, value) + "\n";
    }
    *pOut += "\n";
    std::vector<char16_t> subkey(MAX_REG_NAME + 1);
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(subkey.size());
        nResult = RegEnumKeyExW(hKey, i, subkey.data(), &cch, nullptr, nullptr, nullptr, nullptr);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult != ERROR_SUCCESS) return nResult;
        HKEY hChild = nullptr;
        nResult = RegOpenKeyExW(hKey, subkey.data(), 0, KEY_READ, &hChild);
        // Deleted by someone else in between: it is simply no longer part of the tree.
        if (nResult == ERROR_FILE_NOT_FOUND) continue;
        if (nResult != ERROR_SUCCESS) return nResult;
        nResult = ExportKey(hChild, sName + "\\" + comrt::ToUtf8(std::u16string_view(subkey.data(), cch)), pOut);
        RegCloseKey(hChild);
        if (nResult != ERROR_SUCCESS) return nResult;
    }
    return ERROR_SUCCESS;
}

int Export(const KeyName& key) {
    HKEY hKey = nullptr;
    LONG nResult = RegOpenKeyExW(key.pRoot->hKey, key.path.c_str(), 0, KEY_READ, &hKey);
    if (nResult != ERROR_SUCCESS) return Fail(key.Text(), nResult);
    std::string out;
    nResult = ExportKey(hKey, key.Text(), &out);
    RegCloseKey(hKey);
    if (nResult != ERROR_SUCCESS) return Fail(key.Text(), nResult);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool ParseNumber(const char* psz, ULONGLONG nMax, ULONGLONG* pn) {
    if (!*psz || *psz == '-') return false;
    errno = 0;
    char* pEnd = nullptr;
    const unsigned long long n = std::strtoull(psz, &pEnd, 0);
    if (errno || *pEnd || n > nMax) return false;
    *pn = n;
    return true;
}

bool ParseHexBytes(const char* psz, std::vector<BYTE>* pData) {
    int nHigh = -1;
    for (const char* p = psz; *p; ++p) {
        int n;
        if (*p >= '0' && *p <= '9') {
            n = *p - '0';
        } else if (*p >= 'a' && *p <= 'f') {
            n = *p - 'a' + 10;
        } else if (*p >= 'A' && *p <= 'F') {
            n = *p - 'A' + 10;
        } else if ((*p == ',' || *p == ' ') && nHigh < 0) {
            continue;
        } else {
            return false;
        }
        if (nHigh < 0) {
            nHigh = n;
        } else {
            pData->push_back(static_cast<BYTE>(nHigh * 16 + n));
            nHigh = -1;
        }
    }
    return nHigh < 0;
}

void AppendText(std::vector<BYTE>* pData, const char* psz) {
    const std::u16string s = comrt::ToUtf16(psz);
    const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
    pData->insert(pData->end(), p, p + (s.size() + 1) * sizeof(char16_t));
}

int Set(const KeyName& key, const char* pszName, const char* pszType, int nData, char** ppData) {
    std::string sType = pszType;
    if (sType.size() > 4 && EqualsNoCase(sType.substr(0, 4), "REG_")) sType = sType.substr(4);
    DWORD nType = 0;
    std::vector<BYTE> data;
    bool bValid = true;
    if (EqualsNoCase(sType, "SZ") || EqualsNoCase(sType, "EXPAND_SZ")) {
        nType = EqualsNoCase(sType, "SZ") ? REG_SZ : REG_EXPAND_SZ;
        bValid = nData == 1;
        if (bValid) AppendText(&data, ppData[0]);
    } else if (EqualsNoCase(sType, "MULTI_SZ")) {
        nType = REG_MULTI_SZ;
        for (int i = 0; i < nData; ++i) AppendText(&data, ppData[i]);
        data.insert(data.end(), {0, 0});
    } else if (EqualsNoCase(sType, "DWORD") || EqualsNoCase(sType, "QWORD")) {
        const bool bDword = EqualsNoCase(sType, "DWORD");
        nType = bDword ? REG_DWORD : REG_QWORD;
        ULONGLONG n = 0;
        bValid = nData == 1 && ParseNumber(ppData[0], bDword ? 0xFFFFFFFFull : ~0ull, &n);
        if (bValid) {
            // Little-endian, as the stored format is.
            for (int i = 0; i < (bDword ? 4 : 8); ++i) data.push_back(static_cast<BYTE>(n >> (8 * i)));
        }
    } else if (EqualsNoCase(sType, "BINARY")) {
        nType = REG_BINARY;
        bValid = nData <= 1 && (nData == 0 || ParseHexBytes(ppData[0], &data));
    } else {
        std::fprintf(stderr, "hkreg: unknown value type \"%s\"\n", pszType);
        return 2;
    }
    if (!bValid) {
        std::fprintf(stderr, "hkreg: the data does not fit type %s\n", pszType);
        return 2;
    }
    std::u16string name = comrt::ToUtf16(pszName);
    if (name == u"@") name.clear();
    HKEY hKey = nullptr;
    LONG nResult = RegCreateKeyExW(key.pRoot->hKey, key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                   nullptr, &hKey, nullptr);
    if (nResult != ERROR_SUCCESS) return Fail(key.Text(), nResult);
    nResult = RegSetValueExW(hKey, name.c_str(), 0, nType, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(hKey);
    if (nResult != ERROR_SUCCESS) return Fail(key.Text() + " " + pszName, nResult);
    return 0;
}

int Delete(const KeyName& key, const char* pszName) {
    if (!pszName) {
        if (key.path.empty()) {
            std::fprintf(stderr, "hkreg: %s is a hive's root and stays\n", key.Text().c_str());
            return 2;
        }
        const LONG nResult = RegDeleteTreeW(key.pRoot->hKey, key.path.c_str());
        return nResult == ERROR_SUCCESS ? 0 : Fail(key.Text(), nResult);
    }
    std::u16string name = comrt::ToUtf16(pszName);
    if (name == u"@") name.clear();
    HKEY hKey = nullptr;
    LONG nResult = RegOpenKeyExW(key.pRoot->hKey, key.path.c_str(), 0, KEY_WRITE, &hKey);
    if (nResult != ERROR_SUCCESS) return Fail(key.Text(), nResult);
    nResult = RegDeleteValueW(hKey, name.c_str());
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS ? 0 : Fail(key.Text() + " " + pszName, nResult, "no such value");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string_view command = argv[1];
    KeyName key;
    if (command == "export" && argc == 3) {
        if (!ParseKey(argv[2], &key)) return 2;
        return Export(key);
    }
    if (command == "set" && argc >= 5) {
        if (!ParseKey(argv[2], &key)) return 2;
        return Set(key, argv[3], argv[4], argc - 5, argv + 5);
    }
    if (command == "delete" && (argc == 3 || argc == 4)) {
        if (!ParseKey(argv[2], &key)) return 2;
        return Delete(key, argc == 4 ? argv[3] : nullptr);
    }
    return Usage();
}
