// Values a peer sends on the bus, read as the bridge reads the arguments of Corvane.Dispatch.Invoke and of
// every VARIANT parameter. The fuzzer's bytes drive the building of a message of variants: sd-bus makes only
// well-formed messages, as it accepts only those from the bus, so the bytes choose the types (every basic
// type, arrays, dictionaries, structures, variants in variants, nested in turn) and the values. ReadVariant
// then reads the variants one by one. Besides not crashing or leaking:
//   - a failed read leaves the value empty;
//   - a value that was read writes back, and what it writes reads back to a value that writes the same
//     message again.
// Every object path but "/" names one stand-in object; a written object is named by one fixed path.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../platform/src/dbus/DBusMarshal.h"
#include "FuzzInput.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "dbus_values_fuzz", pszWhat);
}

constexpr int kMaxDepth = 6;
constexpr int kMaxValues = 8;

class CStandIn final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IidOf<IUnknown>() ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
};

CStandIn g_StandIn;

class CMapper final : public comrt::dbus::IObjectMapper {
public:
    HRESULT PathOf(IUnknown*, std::string* psPath) override {
        *psPath = "/Corvane/HarkwellServer/Objects/1";
        return S_OK;
    }
    HRESULT ObjectOf(const std::string&, IUnknown** ppObject) override {
        *ppObject = &g_StandIn;
        return S_OK;
    }
};

// The fuzzer's bytes, read one at a time; zeros once they are used up.
class CBytes {
public:
    CBytes(const std::uint8_t* pData, std::size_t cb) : m_pData(pData), m_cb(cb) {}
    bool Empty() const { return m_nAt >= m_cb; }
    std::uint8_t Next() { return m_nAt < m_cb ? m_pData[m_nAt++] : 0; }
    std::uint64_t Next64() {
        std::uint64_t n = 0;
        for (int i = 0; i < 8; ++i) n = (n << 8) | Next();
        return n;
    }

private:
    const std::uint8_t* m_pData;
    std::size_t m_cb;
    std::size_t m_nAt = 0;
};

constexpr char kBasicTypes[] = "ybnqiuxtdsog";

// One complete type, chosen by the bytes.
std::string ChooseType(CBytes& bytes, int nDepth) {
    const std::uint8_t nChoice = bytes.Next();
    const int nKinds = nDepth >= kMaxDepth ? 12 : 16;
    const int nKind = nChoice % nKinds;
    if (nKind < 12) return std::string(1, kBasicTypes[nKind]);
    switch (nKind) {
        case 12:
            return "v";
        case 13:
            return "a" + ChooseType(bytes, nDepth + 1);
        case 14:
            return "a{" + std::string(1, kBasicTypes[bytes.Next() % 12]) + ChooseType(bytes, nDepth + 1) + "}";
        default:
            return "(" + ChooseType(bytes, nDepth + 1) + ChooseType(bytes, nDepth + 1) + ")";
    }
}

// The length of the complete type that starts at nAt in sSignature.
std::size_t TypeLength(const std::string& sSignature, std::size_t nAt) {
    const char c = sSignature[nAt];
    if (c == 'a') return 1 + TypeLength(sSignature, nAt + 1);
    if (c == '(' || c == '{') {
        const char cClose = c == '(' ? ')' : '}';
        std::size_t n = nAt + 1;
        while (sSignature[n] != cClose) n += TypeLength(sSignature, n);
        return n + 1 - nAt;
    }
    return 1;
}

bool AppendValue(sd_bus_message* m, const std::string& sType, CBytes& bytes, int nDepth);

bool AppendBasic(sd_bus_message* m, char cType, CBytes& bytes) {
    const std::uint64_t n = bytes.Next64();
    switch (cType) {
        case 'y': {
            const std::uint8_t v = static_cast<std::uint8_t>(n);
            return sd_bus_message_append_basic(m, cType, &v) >= 0;
        }
        case 'b': {
            const int v = static_cast<int>(n & 1);
            return sd_bus_message_append_basic(m, cType, &v) >= 0;
        }
        case 'n':
        case 'q': {
            const std::uint16_t v = static_cast<std::uint16_t>(n);
            return sd_bus_message_append_basic(m, cType, &v) >= 0;
        }
        case 'i':
        case 'u': {
            const std::uint32_t v = static_cast<std::uint32_t>(n);
            return sd_bus_message_append_basic(m, cType, &v) >= 0;
        }
        case 'x':
        case 't':
            return sd_bus_message_append_basic(m, cType, &n) >= 0;
        case 'd': {
            double v;
            std::memcpy(&v, &n, sizeof v);
            return sd_bus_message_append_basic(m, cType, &v) >= 0;
        }
        case 's': {
            // UTF-8 that sd-bus accepts: two-byte sequences beside ASCII, so the conversion to UTF-16 and back
            // is exercised as well.
            std::string s;
            for (std::size_t i = n % 24; i > 0; --i) {
                const std::uint8_t c = bytes.Next();
                if (c & 0x80) {
                    s += static_cast<char>(0xC2 | ((c >> 6) & 1));
                    s += static_cast<char>(0x80 | (c & 0x3F));
                } else {
                    s += static_cast<char>(c == 0 ? ' ' : c);
                }
            }
            return sd_bus_message_append_basic(m, cType, s.c_str()) >= 0;
        }
        case 'o': {
            static const char* const kPaths[] = {"/", "/Corvane/HarkwellServer/Objects/7", "/a/b"};
            return sd_bus_message_append_basic(m, cType, kPaths[n % 3]) >= 0;
        }
        default: {
            static const char* const kSignatures[] = {"", "v", "ai", "a{sv}", "(yv)"};
            return sd_bus_message_append_basic(m, 'g', kSignatures[n % 5]) >= 0;
        }
    }
}

bool AppendValue(sd_bus_message* m, const std::string& sType, CBytes& bytes, int nDepth) {
    const char c = sType[0];
    if (c == 'v') {
        const std::string sInner = ChooseType(bytes, nDepth + 1);
        return sd_bus_message_open_container(m, 'v', sInner.c_str()) >= 0 &&
               AppendValue(m, sInner, bytes, nDepth + 1) && sd_bus_message_close_container(m) >= 0;
    }
    if (c == 'a') {
        const std::string sElement = sType.substr(1);
        if (sd_bus_message_open_container(m, 'a', sElement.c_str()) < 0) return false;
        for (int i = bytes.Next() % 4; i > 0; --i)
            if (!AppendValue(m, sElement, bytes, nDepth + 1)) return false;
        return sd_bus_message_close_container(m) >= 0;
    }
    if (c == '(' || c == '{') {
        const std::string sInner = sType.substr(1, sType.size() - 2);
        if (sd_bus_message_open_container(m, c == '(' ? 'r' : 'e', sInner.c_str()) < 0) return false;
        for (std::size_t n = 0; n < sInner.size(); n += TypeLength(sInner, n))
            if (!AppendValue(m, sInner.substr(n, TypeLength(sInner, n)), bytes, nDepth + 1)) return false;
        return sd_bus_message_close_container(m) >= 0;
    }
    return AppendBasic(m, c, bytes);
}

// A connection that never reaches a bus: sd-bus makes messages only on a started one.
sd_bus* Bus() {
    static sd_bus* pBus = [] {
        sd_bus* p = nullptr;
        int fds[2];
        Check(sd_bus_new(&p) >= 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 &&
                  sd_bus_set_fd(p, fds[0], fds[0]) >= 0 && sd_bus_start(p) >= 0,
              "no sd-bus connection object to make messages on");
        return p;
    }();
    return pBus;
}

struct CMessage {
    sd_bus_message* p = nullptr;
    CMessage() {
        Check(
            sd_bus_message_new_method_call(Bus(), &p, "Corvane.HarkwellServer", "/", "Corvane.Dispatch", "Invoke") >= 0,
            "no message");
    }
    ~CMessage() { sd_bus_message_unref(p); }
    void Seal() {
        static std::uint64_t nCookie = 1;
        Check(sd_bus_message_seal(p, nCookie++, 0) >= 0 && sd_bus_message_rewind(p, 1) >= 0, "a message does not seal");
    }
    std::string Dump() const {
        char* pszText = nullptr;
        std::size_t cch = 0;
        FILE* pFile = open_memstream(&pszText, &cch);
        sd_bus_message_rewind(p, 1);
        sd_bus_message_dump(p, pFile, 0);
        std::fclose(pFile);
        std::string sText(pszText, cch);
        std::free(pszText);
        return sText;
    }
};

// The value written as a variant into a message of its own, read back.
std::string WrittenForm(const VARIANT& value, CMapper& mapper, VARIANT* pReadBack) {
    CMessage written;
    Check(SUCCEEDED(comrt::dbus::WriteVariant(written.p, value, mapper)), "a value that was read does not write");
    written.Seal();
    const std::string sForm = written.Dump();
    sd_bus_message_rewind(written.p, 1);
    Check(SUCCEEDED(comrt::dbus::ReadVariant(written.p, pReadBack, mapper)), "a written value does not read back");
    return sForm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    CBytes bytes(pData, cb);
    CMessage message;
    int nValues = 0;
    while (!bytes.Empty() && nValues < kMaxValues) {
        if (!AppendValue(message.p, "v", bytes, 0)) return 0;  // sd-bus refused a value: nothing to read
        ++nValues;
    }
    message.Seal();

    CMapper mapper;
    for (int i = 0; i < nValues; ++i) {
        VARIANT value;
        const HRESULT hr = comrt::dbus::ReadVariant(message.p, &value, mapper);
        if (FAILED(hr)) {
            Check(value.vt == VT_EMPTY, "a failed read left a value");
            break;  // the read position is somewhere inside the failed value
        }
        VARIANT first, second;
        const std::string sFirst = WrittenForm(value, mapper, &first);
        const std::string sSecond = WrittenForm(first, mapper, &second);
        Check(sFirst == sSecond, "the written form changes when it is read and written again");
        VariantClear(&second);
        VariantClear(&first);
        VariantClear(&value);
    }
    return 0;
}
