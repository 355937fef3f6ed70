// Base64 encoder and decoder: the line layout with its trailing CR LF for multiples of 57 bytes, every flag,
// output bounds, round trips and skipped characters.
#include "corvane/ulbase64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr DWORD kAllFlags[] = {0, _Base64Helper::BASE64_FLAG_NOPAD, _Base64Helper::BASE64_FLAG_NOCRLF,
                               _Base64Helper::BASE64_FLAG_NOPAD | _Base64Helper::BASE64_FLAG_NOCRLF};

std::vector<BYTE> Bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

std::vector<BYTE> Pattern(std::size_t n) {
    std::vector<BYTE> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<BYTE>(i * 7 + 3);
    return data;
}

// Encodes into a buffer of exactly GetEncodeOutputSize characters, so that AddressSanitizer sees any write
// beyond the bound.
std::string Encode(const std::vector<BYTE>& data, DWORD dwFlags) {
    const std::size_t nSize = _Base64Helper::GetEncodeOutputSize(data.size(), dwFlags);
    std::vector<char> buffer(nSize == 0 ? 1 : nSize);
    const std::size_t n = _Base64Helper::Encode(data.data(), data.size(), buffer.data(), nSize, dwFlags);
    EXPECT_LE(n, nSize);
    return std::string(buffer.data(), n);
}

std::vector<BYTE> Decode(std::string_view text) {
    std::vector<BYTE> out(_Base64Helper::GetDecodeOutputSize(text.size()));
    out.resize(_Base64Helper::Decode(text.data(), text.size(), out.data(), out.size()));
    return out;
}

// The text a straightforward encoder gives: padded, no line breaks.
std::string Reference(const std::vector<BYTE>& data) {
    static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        unsigned v = data[i] << 16;
        if (i + 1 < data.size()) v |= data[i + 1] << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        s += kAlphabet[v >> 18];
        s += kAlphabet[(v >> 12) & 63];
        s += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
        s += i + 2 < data.size() ? kAlphabet[v & 63] : '=';
    }
    return s;
}

TEST(Base64Encode, KnownTextsWithEveryFlag) {
    EXPECT_EQ(Encode(Bytes(""), 0), "");
    EXPECT_EQ(Encode(Bytes("f"), 0), "Zg==");
    EXPECT_EQ(Encode(Bytes("fo"), 0), "Zm8=");
    EXPECT_EQ(Encode(Bytes("foo"), 0), "Zm9v");
    EXPECT_EQ(Encode(Bytes("foobar"), 0), "Zm9vYmFy");
    EXPECT_EQ(Encode(Bytes("fooba"), _Base64Helper::BASE64_FLAG_NOPAD), "Zm9vYmE");
    EXPECT_EQ(Encode(Bytes("foob"), _Base64Helper::BASE64_FLAG_NOPAD), "Zm9vYg");
    EXPECT_EQ(Encode(Bytes("foob"), _Base64Helper::BASE64_FLAG_NOCRLF), "Zm9vYg==");
    EXPECT_EQ(Encode({0x01, 0x00, 0x00}, 3), "AQAA");
    EXPECT_EQ(Encode({0x01}, 3), "AQ");
    EXPECT_EQ(Encode({0xFB, 0xFF, 0xBF}, 0), "+/+/");
}

TEST(Base64Encode, LinesOf76WithTrailingBreakOnMultiplesOf57) {
    const std::string s57 = Encode(Pattern(57), 0);
    ASSERT_EQ(s57.size(), 78u);
    EXPECT_EQ(s57.substr(0, 76), Reference(Pattern(57)));
    EXPECT_EQ(s57.substr(76), "\r\n");

    const std::string s58 = Encode(Pattern(58), 0);
    ASSERT_EQ(s58.size(), 82u);
    EXPECT_EQ(s58.substr(76, 2), "\r\n");
    EXPECT_EQ(s58.substr(78), Reference(Pattern(58)).substr(76));
    EXPECT_EQ(s58.substr(80), "==");

    EXPECT_EQ(Encode(Pattern(58), _Base64Helper::BASE64_FLAG_NOPAD).substr(78), Reference(Pattern(58)).substr(76, 2));

    // 56 bytes: one line without a break; 114 bytes: two lines, the second followed by CR LF.
    EXPECT_EQ(Encode(Pattern(56), 0), Reference(Pattern(56)));
    const std::string s114 = Encode(Pattern(114), 0);
    const std::string r114 = Reference(Pattern(114));
    EXPECT_EQ(s114, r114.substr(0, 76) + "\r\n" + r114.substr(76) + "\r\n");
    // 60 bytes: a full line, CR LF, then the one remaining group without a break after it.
    EXPECT_EQ(Encode(Pattern(60), 0),
              Reference(Pattern(60)).substr(0, 76) + "\r\n" + Reference(Pattern(60)).substr(76));
}

TEST(Base64Encode, EveryLengthMatchesTheLayoutAndStaysWithinTheBound) {
    for (std::size_t n = 0; n <= 700; ++n) {
        const std::vector<BYTE> data = Pattern(n);
        const std::string r = Reference(data);
        const std::size_t nWhole = n / 3 * 4;
        for (DWORD dwFlags : kAllFlags) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " flags=" << dwFlags);
            const std::string s = Encode(data, dwFlags);
            std::string expected;
            if (dwFlags & _Base64Helper::BASE64_FLAG_NOCRLF) {
                expected = r.substr(0, nWhole);
            } else {
                for (std::size_t i = 0; i < nWhole; i += 76) {
                    if (i != 0) expected += "\r\n";
                    expected += r.substr(i, std::min<std::size_t>(76, nWhole - i));
                }
                if (nWhole != 0 && nWhole % 76 == 0) expected += "\r\n";
            }
            std::string tail = r.substr(nWhole);
            if (dwFlags & _Base64Helper::BASE64_FLAG_NOPAD) tail.erase(tail.find_last_not_of('=') + 1);
            expected += tail;
            EXPECT_EQ(s, expected);
            EXPECT_EQ(Decode(s), data);
        }
    }
}

TEST(Base64Encode, RefusesMissingBuffersAndShortOutput) {
    const std::vector<BYTE> data = Pattern(10);
    char buffer[64] = {};
    EXPECT_EQ(_Base64Helper::Encode(nullptr, 10, buffer, sizeof buffer, 0), 0u);
    EXPECT_EQ(_Base64Helper::Encode(data.data(), 10, nullptr, sizeof buffer, 0), 0u);
    const std::size_t nBound = _Base64Helper::GetEncodeOutputSize(10, 0);
    EXPECT_EQ(_Base64Helper::Encode(data.data(), 10, buffer, nBound - 1, 0), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(_Base64Helper::Encode(data.data(), 10, buffer, nBound, 0), 16u);
}

TEST(Base64Encode, OutputSizeBound) {
    // The bound's own arithmetic: (4n+2)/3, rounded, then room for the line breaks.
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(0, 0), 2u);
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(0, 3), 0u);
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(1, 3), 2u);
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(57, 0), 84u);
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(8, 2), 13u);
    // Sizes where the rounding alone would fall short of the padded group.
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(2, 2), 4u);
    EXPECT_EQ(_Base64Helper::GetEncodeOutputSize(11, 2), 16u);
}

TEST(Base64Encode, TextFormUsesFlagsZero) {
    EXPECT_EQ(_Base64Helper::Encode(std::string_view("user@example.org")), "dXNlckBleGFtcGxlLm9yZw==");
    EXPECT_EQ(_Base64Helper::Encode(std::string(57, 'a')).substr(76), "\r\n");
    EXPECT_EQ(_Base64Helper::Encode(std::string_view()), "");
}

TEST(Base64Decode, PartialGroups) {
    EXPECT_EQ(Decode("Zg=="), Bytes("f"));
    EXPECT_EQ(Decode("Zg"), Bytes("f"));
    EXPECT_EQ(Decode("Zm8"), Bytes("fo"));
    EXPECT_EQ(Decode("Zm9v"), Bytes("foo"));
    EXPECT_EQ(Decode("Z"), Bytes(""));
    EXPECT_EQ(Decode("Zm9vY"), Bytes("foo"));
    EXPECT_EQ(Decode(""), Bytes(""));
}

TEST(Base64Decode, SkipsCharactersOutsideTheAlphabet) {
    EXPECT_EQ(Decode("Zm9v\r\nYmFy"), Bytes("foobar"));
    EXPECT_EQ(Decode(" Z m\t9 v Y*m-F.y "), Bytes("foobar"));
    // '=' is skipped like any other character, also in the middle of the text.
    EXPECT_EQ(Decode("Zg==Zg=="), (std::vector<BYTE>{0x66, 0x06, 0x60}));
    EXPECT_EQ(Decode("\xff\x80Zm9v\x7f"), Bytes("foo"));
    EXPECT_EQ(Decode("!!!!!!!!!!!!"), Bytes(""));
    // A group spread over a break in a long run of whole groups.
    const std::string r = Reference(Pattern(300));
    std::string spread = r.substr(0, 41) + "\r\n" + r.substr(41, 100) + " " + r.substr(141);
    EXPECT_EQ(Decode(spread), Pattern(300));
}

TEST(Base64Decode, StopsAtNulAndAtTheGivenLength) {
    const std::string text("Zm9v\0YmFy", 9);
    EXPECT_EQ(Decode(text), Bytes("foo"));
    EXPECT_EQ(Decode(std::string_view("Zm9vYmFy", 4)), Bytes("foo"));
    const std::string r = Reference(Pattern(90));
    std::string withNul = r;
    withNul[40] = '\0';
    const std::vector<BYTE> data = Pattern(90);
    EXPECT_EQ(Decode(withNul), std::vector<BYTE>(data.begin(), data.begin() + 30));
}

TEST(Base64Decode, NeverWritesBeyondTheOutput) {
    const std::string r = Reference(Pattern(99));
    for (std::size_t nOut = 0; nOut <= 99; ++nOut) {
        std::vector<BYTE> out(nOut);
        const std::size_t n = _Base64Helper::Decode(r.data(), r.size(), out.data(), out.size());
        ASSERT_EQ(n, nOut);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), Pattern(99).begin()));
    }
    BYTE b = 0;
    EXPECT_EQ(_Base64Helper::Decode(nullptr, 4, &b, 1), 0u);
    EXPECT_EQ(_Base64Helper::Decode("Zm9v", 4, nullptr, 3), 0u);
}

TEST(Base64RoundTrip, RandomDataWithEveryFlag) {
    std::mt19937 random(20261207);
    for (int i = 0; i < 200; ++i) {
        std::vector<BYTE> data(random() % 5000);
        for (BYTE& b : data) b = static_cast<BYTE>(random());
        for (DWORD dwFlags : kAllFlags) EXPECT_EQ(Decode(Encode(data, dwFlags)), data);
    }
}

}  // namespace
