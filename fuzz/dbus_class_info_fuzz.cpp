// A class's description as a server sends it in reply to Corvane.IProvideClassInfo.GetClassInfo, read as
// a proxy reads it. sd-bus makes only well-formed messages, so the fuzzer's bytes choose the values of a
// message of the reply's signature: identifiers (sound or not), names, kinds, DISPIDs, slots, parameter
// types and flags, and how many of each. Besides not crashing or leaking:
//   - a refused reply leaves the class empty;
//   - a read class holds only sound descriptions (named members of known kinds, at most one [out,retval]
//     parameter and that the last, getters with one, putters without);
//   - the class written again from its type information reads back to the same descriptions.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../platform/src/dbus/DBusClassInfo.h"
#include "FuzzInput.h"
#include "comrt/comptr.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "dbus_class_info_fuzz", pszWhat);
}

class CBytes {
public:
    CBytes(const std::uint8_t* pData, std::size_t cb) : m_pData(pData), m_cb(cb) {}
    std::uint8_t Next() { return m_nAt < m_cb ? m_pData[m_nAt++] : 0; }
    std::uint32_t Next32() {
        std::uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n = (n << 8) | Next();
        return n;
    }

private:
    const std::uint8_t* m_pData;
    std::size_t m_cb;
    std::size_t m_nAt = 0;
};

std::string Text(CBytes& bytes) {
    static const char* const kTexts[] = {"", "Name", "Level", "pnLevel,nLevel", "a,b,,c", ",", "IThing"};
    const std::uint8_t n = bytes.Next();
    if (n < 200) return kTexts[n % 7];
    std::string s;
    for (std::uint8_t i = 0, nLength = bytes.Next() % 16; i < nLength; ++i) {
        const char c = static_cast<char>(bytes.Next() & 0x7F);
        s += c == 0 ? 'x' : c;
    }
    return s;
}

std::string Guid(CBytes& bytes) {
    static const char* const kGuids[] = {
        "{5A3C0E10-7C6B-4C53-9E0A-2D1F00000201}", "{5A3C0E10-7C6B-4C53-9E0A-2D1F00000202}", "", "not a guid",
        "CPingActivity.CPingActivity.1",          "{5A3C0E10-7C6B-4C53-9E0A-2D1F0000020}"};
    return kGuids[bytes.Next() % 6];
}

bool AppendClass(sd_bus_message* m, CBytes& bytes) {
    const std::string sClsid = Guid(bytes);
    if (sd_bus_message_append(m, "s", sClsid.c_str()) < 0) return false;
    if (sd_bus_message_open_container(m, 'a', "(sssya(siybusa(qbbs)))") < 0) return false;
    for (std::uint8_t i = 0, nInterfaces = bytes.Next() % 4; i < nInterfaces; ++i) {
        const std::string sName = Text(bytes), sIid = Guid(bytes), sHelp = Text(bytes);
        const std::uint8_t nKind = bytes.Next() % 3;
        if (sd_bus_message_open_container(m, 'r', "sssya(siybusa(qbbs))") < 0 ||
            sd_bus_message_append(m, "sssy", sName.c_str(), sIid.c_str(), sHelp.c_str(), nKind) < 0 ||
            sd_bus_message_open_container(m, 'a', "(siybusa(qbbs))") < 0)
            return false;
        for (std::uint8_t k = 0, nMembers = bytes.Next() % 6; k < nMembers; ++k) {
            const std::string sMember = Text(bytes), sParamNames = Text(bytes);
            const std::int32_t nDispid = static_cast<std::int32_t>(bytes.Next32());
            const std::uint8_t nMemberKind = bytes.Next() % 4;
            const int bLocalOnly = bytes.Next() & 1;
            const std::uint32_t nSlot = bytes.Next() < 250 ? bytes.Next() % 16 : bytes.Next32();
            if (sd_bus_message_open_container(m, 'r', "siybusa(qbbs)") < 0 ||
                sd_bus_message_append(m, "siybus", sMember.c_str(), nDispid, nMemberKind, bLocalOnly, nSlot,
                                      sParamNames.c_str()) < 0 ||
                sd_bus_message_open_container(m, 'a', "(qbbs)") < 0)
                return false;
            for (std::uint8_t p = 0, nParams = bytes.Next() % 5; p < nParams; ++p) {
                static const std::uint16_t kTypes[] = {
                    VT_I4, VT_BSTR,    VT_BOOL,          VT_VARIANT,        VT_DISPATCH,
                    VT_R8, VT_UNKNOWN, VT_I4 | VT_BYREF, VT_ARRAY | VT_UI1, 0xFFFF};
                const std::uint16_t vt = kTypes[bytes.Next() % 10];
                const std::uint8_t nFlags = bytes.Next();
                const std::string sParamIid = (nFlags & 4) ? Guid(bytes) : std::string();
                if (sd_bus_message_append(m, "(qbbs)", vt, nFlags & 1, (nFlags >> 1) & 1, sParamIid.c_str()) < 0)
                    return false;
            }
            if (sd_bus_message_close_container(m) < 0 || sd_bus_message_close_container(m) < 0) return false;
        }
        if (sd_bus_message_close_container(m) < 0 || sd_bus_message_close_container(m) < 0) return false;
    }
    return sd_bus_message_close_container(m) >= 0;
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
        Check(sd_bus_message_new_method_call(Bus(), &p, "Corvane.HarkwellServer", "/", "Corvane.IProvideClassInfo",
                                             "GetClassInfo") >= 0,
              "no message");
    }
    ~CMessage() { sd_bus_message_unref(p); }
    void Seal() {
        static std::uint64_t nCookie = 1;
        Check(sd_bus_message_seal(p, nCookie++, 0) >= 0 && sd_bus_message_rewind(p, 1) >= 0, "a message does not seal");
    }
};

void CheckSound(const comrt::dbus::CRemoteClass& c) {
    for (const auto& pInterface : c.Interfaces) {
        const comrt::InterfaceDescription& d = pInterface->d;
        Check(d.szName != nullptr && *d.szName != 0, "an interface without a name");
        const bool bDual = d.kind == comrt::InterfaceKind::Dual;
        for (unsigned i = 0; i < d.nMembers; ++i) {
            const comrt::MemberDescription& m = d.pMembers[i];
            Check(m.szName != nullptr && *m.szName != 0 && m.szParamNames != nullptr, "a member without a name");
            Check(bDual == (m.pfnInvoke == &comrt::dbus::RemoteMemberInvoke) && m.pfnProxy == nullptr,
                  "a read member has code of this process");
            Check(bDual || (m.kind == comrt::MemberKind::Method && m.nSlot == 0), "an event with a slot");
            for (unsigned p = 0; p < m.nParams; ++p) {
                Check((m.pParams[p].vt & VT_BYREF) == 0, "a parameter type by reference");
                Check(!m.pParams[p].bRetval || (m.pParams[p].bOut && p + 1 == m.nParams), "a misplaced result");
            }
            if (m.kind == comrt::MemberKind::PropertyGet)
                Check(m.nParams > 0 && m.pParams[m.nParams - 1].bRetval, "a getter without its value");
            if (m.kind == comrt::MemberKind::PropertyPut)
                Check(m.nParams > 0 && !m.pParams[m.nParams - 1].bOut, "a putter without its value");
        }
    }
}

// The descriptions as text, to compare two readings.
std::string Form(const comrt::dbus::CRemoteClass& c) {
    std::string s;
    OLECHAR sz[40];
    StringFromGUID2(c.clsid, sz, 40);
    for (int i = 0; sz[i] != 0; ++i) s += static_cast<char>(sz[i]);
    for (const auto& pInterface : c.Interfaces) {
        const comrt::InterfaceDescription& d = pInterface->d;
        StringFromGUID2(d.iid, sz, 40);
        s += "\n";
        for (int i = 0; sz[i] != 0; ++i) s += static_cast<char>(sz[i]);
        s += std::string(" ") + d.szName + "|" + d.szHelp + "|" + std::to_string(static_cast<int>(d.kind));
        for (unsigned i = 0; i < d.nMembers; ++i) {
            const comrt::MemberDescription& m = d.pMembers[i];
            s += std::string("\n ") + m.szName + " " + std::to_string(m.dispid) + " " +
                 std::to_string(static_cast<int>(m.kind)) + " " + std::to_string(m.bLocalOnly) + " " +
                 std::to_string(m.nSlot) + " " + m.szParamNames;
            for (unsigned p = 0; p < m.nParams; ++p) {
                s += " " + std::to_string(m.pParams[p].vt) + (m.pParams[p].bOut ? "o" : "i") +
                     (m.pParams[p].bRetval ? "r" : "");
                if (m.pParams[p].piid != nullptr) {
                    StringFromGUID2(*m.pParams[p].piid, sz, 40);
                    for (int k = 0; sz[k] != 0; ++k) s += static_cast<char>(sz[k]);
                }
            }
        }
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    CBytes bytes(pData, cb);
    CMessage message;
    if (!AppendClass(message.p, bytes)) return 0;
    message.Seal();
    comrt::dbus::CRemoteClass read;
    const HRESULT hr = comrt::dbus::ReadClassInfo(message.p, &read);
    if (FAILED(hr)) {
        Check(read.Interfaces.empty(), "a refused reply left interfaces behind");
        return 0;
    }
    CheckSound(read);
    // An interface named twice is one interface of the class: the reading is written back without repeats.
    for (std::size_t i = 0; i < read.Interfaces.size(); ++i)
        for (std::size_t k = i + 1; k < read.Interfaces.size(); ++k)
            if (read.Interfaces[i]->d.iid == read.Interfaces[k]->d.iid) return 0;
    std::vector<const comrt::InterfaceDescription*> descriptions;
    for (const auto& pInterface : read.Interfaces) descriptions.push_back(&pInterface->d);
    CComPtr<ITypeInfo> pClass;
    Check(SUCCEEDED(comrt::CreateClassTypeInfoOf(read.clsid, descriptions.data(),
                                                 static_cast<unsigned>(descriptions.size()), &pClass)),
          "no type information of a read class");
    CMessage written;
    Check(SUCCEEDED(comrt::dbus::WriteClassInfo(written.p, pClass)), "a read class does not write");
    written.Seal();
    comrt::dbus::CRemoteClass again;
    Check(SUCCEEDED(comrt::dbus::ReadClassInfo(written.p, &again)), "a written class does not read back");
    Check(Form(read) == Form(again), "a written class reads back otherwise");
    return 0;
}
