#include "DBusFrame.h"

#include <cstring>

namespace comrt::dbus {
namespace {

constexpr uint8_t kFieldPath = 1;
constexpr uint8_t kFieldErrorName = 4;
constexpr uint8_t kFieldReplySerial = 5;
constexpr uint8_t kFieldDestination = 6;
constexpr uint8_t kFieldSender = 7;
constexpr uint8_t kFieldSignature = 8;
constexpr uint8_t kFieldUnixFds = 9;
// Containers nest at most 32 arrays and 32 structures deep.
constexpr int kMaxDepth = 64;

// Reads values of the header fields. Offsets count from the message's first byte, as alignment does.
class CFieldReader {
public:
    CFieldReader(const uint8_t* p, std::size_t nEnd, bool bLittle) : m_p(p), m_nEnd(nEnd), m_bLittle(bLittle) {}

    std::size_t Position() const { return m_nPos; }
    void Seek(std::size_t nPos) { m_nPos = nPos; }

    bool Align(std::size_t nAlignment) {
        const std::size_t nNext = (m_nPos + nAlignment - 1) & ~(nAlignment - 1);
        if (nNext > m_nEnd) return false;
        m_nPos = nNext;
        return true;
    }
    bool Skip(std::size_t nBytes) {
        if (nBytes > m_nEnd - m_nPos) return false;
        m_nPos += nBytes;
        return true;
    }
    bool Byte(uint8_t* pn) {
        if (m_nPos >= m_nEnd) return false;
        *pn = m_p[m_nPos++];
        return true;
    }
    bool Uint32(uint32_t* pn) {
        if (!Align(4) || m_nEnd - m_nPos < 4) return false;
        *pn = Decode32(m_p + m_nPos, m_bLittle);
        m_nPos += 4;
        return true;
    }
    // A string or object path: its length, its bytes and a terminating zero.
    bool Text(std::string_view* ps) {
        uint32_t nLength = 0;
        if (!Uint32(&nLength) || nLength >= m_nEnd - m_nPos || m_p[m_nPos + nLength] != 0) return false;
        *ps = std::string_view(reinterpret_cast<const char*>(m_p + m_nPos), nLength);
        m_nPos += nLength + 1;
        return true;
    }
    // A signature: a one-byte length, its bytes and a terminating zero.
    bool Signature(std::string_view* ps) {
        uint8_t nLength = 0;
        if (!Byte(&nLength) || nLength >= m_nEnd - m_nPos || m_p[m_nPos + nLength] != 0) return false;
        *ps = std::string_view(reinterpret_cast<const char*>(m_p + m_nPos), nLength);
        m_nPos += nLength + 1u;
        return true;
    }

    static uint32_t Decode32(const uint8_t* p, bool bLittle) {
        return bLittle ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                       : uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
    }

private:
    const uint8_t* m_p;
    std::size_t m_nEnd;
    bool m_bLittle;
    std::size_t m_nPos = 0;
};

// The alignment of values of the type that begins with c; 0 for no type.
std::size_t AlignmentOf(char c) {
    switch (c) {
        case 'y':
        case 'g':
        case 'v':
            return 1;
        case 'n':
        case 'q':
            return 2;
        case 'b':
        case 'i':
        case 'u':
        case 'h':
        case 's':
        case 'o':
        case 'a':
            return 4;
        case 'x':
        case 't':
        case 'd':
        case '(':
        case '{':
            return 8;
        default:
            return 0;
    }
}

// The end of the one complete type that begins at *pi in the signature; false for none.
bool SkipType(std::string_view sSignature, std::size_t* pi, int nDepth) {
    if (*pi >= sSignature.size() || nDepth > kMaxDepth) return false;
    const char c = sSignature[(*pi)++];
    if (c == 'a') return SkipType(sSignature, pi, nDepth + 1);
    if (c == '(' || c == '{') {
        const char cClose = c == '(' ? ')' : '}';
        while (*pi < sSignature.size() && sSignature[*pi] != cClose)
            if (!SkipType(sSignature, pi, nDepth + 1)) return false;
        if (*pi >= sSignature.size()) return false;
        ++*pi;
        return true;
    }
    return AlignmentOf(c) != 0;
}

// Steps over one value of the complete type at *pi, advancing *pi past the type.
bool SkipValue(CFieldReader& reader, std::string_view sSignature, std::size_t* pi, int nDepth) {
    if (*pi >= sSignature.size() || nDepth > kMaxDepth) return false;
    const char c = sSignature[*pi];
    std::string_view sText;
    switch (c) {
        case 'y':
            ++*pi;
            return reader.Skip(1);
        case 'n':
        case 'q':
            ++*pi;
            return reader.Align(2) && reader.Skip(2);
        case 'b':
        case 'i':
        case 'u':
        case 'h':
            ++*pi;
            return reader.Align(4) && reader.Skip(4);
        case 'x':
        case 't':
        case 'd':
            ++*pi;
            return reader.Align(8) && reader.Skip(8);
        case 's':
        case 'o':
            ++*pi;
            return reader.Text(&sText);
        case 'g':
            ++*pi;
            return reader.Signature(&sText);
        case 'v': {
            ++*pi;
            std::size_t k = 0;
            return reader.Signature(&sText) && SkipValue(reader, sText, &k, nDepth + 1) && k == sText.size();
        }
        case 'a': {
            ++*pi;
            const std::size_t nElement = *pi;
            uint32_t nLength = 0;
            if (!SkipType(sSignature, pi, nDepth + 1) || !reader.Uint32(&nLength)) return false;
            // The elements' padding comes before the length counts; the elements are stepped over whole.
            return reader.Align(AlignmentOf(sSignature[nElement])) && reader.Skip(nLength);
        }
        case '(':
        case '{': {
            const char cClose = c == '(' ? ')' : '}';
            ++*pi;
            if (!reader.Align(8)) return false;
            while (*pi < sSignature.size() && sSignature[*pi] != cClose)
                if (!SkipValue(reader, sSignature, pi, nDepth + 1)) return false;
            if (*pi >= sSignature.size()) return false;
            ++*pi;
            return true;
        }
        default:
            return false;
    }
}

// The header fields from offset 16 up to nEnd into *pFrame; false at the first one that cannot be read.
bool ReadFields(const uint8_t* p, std::size_t nEnd, bool bLittle, BusFrame* pFrame) {
    CFieldReader reader(p, nEnd, bLittle);
    reader.Seek(kBusHeaderSize);
    while (reader.Position() < nEnd) {
        uint8_t nCode = 0;
        std::string_view sSignature, sText;
        if (!reader.Align(8) || reader.Position() == nEnd) break;
        if (!reader.Byte(&nCode) || !reader.Signature(&sSignature)) return false;
        if (nCode == kFieldPath && sSignature == "o") {
            if (!reader.Text(&sText)) return false;
            pFrame->nPathLength = sText.size();
        } else if (nCode == kFieldSender && sSignature == "s") {
            if (!reader.Text(&sText)) return false;
            pFrame->sSender = std::string(sText);
        } else if (nCode == kFieldUnixFds && sSignature == "u") {
            if (!reader.Uint32(&pFrame->nUnixFds)) return false;
        } else {
            std::size_t i = 0;
            if (!SkipValue(reader, sSignature, &i, 0) || i != sSignature.size()) return false;
        }
    }
    return true;
}

void Append32(std::string& s, uint32_t n) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((n >> (8 * i)) & 0xff);
}

void Pad(std::string& s, std::size_t nAlignment) {
    while (s.size() % nAlignment != 0) s += '\0';
}

void AppendTextField(std::string& s, uint8_t nCode, char cType, std::string_view sText) {
    Pad(s, 8);
    s += static_cast<char>(nCode);
    s += '\1';
    s += cType;
    s += '\0';
    Append32(s, static_cast<uint32_t>(sText.size()));
    s.append(sText);
    s += '\0';
}

}  // namespace

FrameResult ReadFrame(const uint8_t* p, std::size_t n, BusFrame* pFrame) {
    if (n == 0) return FrameResult::Incomplete;
    if (p[0] != 'l' && p[0] != 'B') return FrameResult::Malformed;
    if (n < kBusHeaderSize) return FrameResult::Incomplete;
    const bool bLittle = p[0] == 'l';
    const uint64_t nBody = CFieldReader::Decode32(p + 4, bLittle);
    const uint64_t nFields = CFieldReader::Decode32(p + 12, bLittle);
    const uint64_t nFieldsEnd = kBusHeaderSize + nFields;
    const uint64_t nSize = ((nFieldsEnd + 7) & ~uint64_t(7)) + nBody;
    if (nSize >= kMaxBusMessageSize) return FrameResult::Malformed;
    if (n < nSize) return FrameResult::Incomplete;
    *pFrame = BusFrame{};
    pFrame->nSize = static_cast<std::size_t>(nSize);
    pFrame->nType = p[1];
    pFrame->nFlags = p[2];
    pFrame->nSerial = CFieldReader::Decode32(p + 8, bLittle);
    pFrame->bFieldsRead = ReadFields(p, static_cast<std::size_t>(nFieldsEnd), bLittle, pFrame);
    return FrameResult::Complete;
}

std::string MakeErrorReply(const BusFrame& call, uint32_t nSerial, std::string_view sName, std::string_view sText) {
    std::string sBody;
    Append32(sBody, static_cast<uint32_t>(sText.size()));
    sBody.append(sText);
    sBody += '\0';

    std::string s = {'l', static_cast<char>(kBusMethodError), static_cast<char>(kBusNoReplyExpected), '\1'};
    Append32(s, static_cast<uint32_t>(sBody.size()));
    Append32(s, nSerial);
    Append32(s, 0);  // the fields' length, written below
    AppendTextField(s, kFieldErrorName, 's', sName);
    Pad(s, 8);
    s += static_cast<char>(kFieldReplySerial);
    s += std::string_view("\1u\0", 3);
    Append32(s, call.nSerial);
    if (!call.sSender.empty()) AppendTextField(s, kFieldDestination, 's', call.sSender);
    Pad(s, 8);
    s += static_cast<char>(kFieldSignature);
    s += std::string_view("\1g\0\1s\0", 6);
    const uint32_t nFields = static_cast<uint32_t>(s.size() - kBusHeaderSize);
    for (int i = 0; i < 4; ++i) s[12 + i] = static_cast<char>((nFields >> (8 * i)) & 0xff);
    Pad(s, 8);
    return s + sBody;
}

std::string OverlongPathText(std::size_t nLength, std::size_t nLimit) {
    return "The object path is " + std::to_string(nLength) + " bytes long; paths are at most " +
           std::to_string(nLimit) + " bytes.";
}

}  // namespace comrt::dbus
