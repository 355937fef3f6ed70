// MD5 against the RFC 1321 suite, HMAC-MD5 against the RFC 2202 vectors, the CRAM-MD5 response of the RFC 2195
// example, and RC4 against published key streams.
#include "corvane/ulcrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Hex(std::string_view sBytes) {
    std::string sText;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const char c : sBytes) {
        sText += kDigits[static_cast<BYTE>(c) >> 4];
        sText += kDigits[static_cast<BYTE>(c) & 0x0F];
    }
    return sText;
}

TEST(Md5, Rfc1321Suite) {
    const struct {
        const char* pszInput;
        const char* pszDigest;
    } kCases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& Case : kCases) {
        EXPECT_EQ(_Md5Helper::ToHex(_Md5Helper::Digest(Case.pszInput)), Case.pszDigest) << Case.pszInput;
    }
}

// The padding takes one block or two depending on where the message ends; piecewise updates across block
// boundaries must give the one-call digest, and a finalised context starts over.
TEST(Md5, PiecewiseUpdatesAndPaddingBoundaries) {
    std::string sData;
    for (int i = 0; i < 300; ++i) sData += static_cast<char>(i * 31 + 7);
    for (const std::size_t nLength : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
        const std::string_view sPrefix(sData.data(), nLength);
        const auto Expected = _Md5Helper::Digest(sPrefix);
        for (const std::size_t nStep : {1u, 3u, 63u, 64u, 100u}) {
            _Md5Helper::CContext Context;
            for (std::size_t n = 0; n < nLength; n += nStep) Context.Update(sPrefix.substr(n, nStep));
            EXPECT_EQ(Context.Finalize(), Expected) << nLength << " in steps of " << nStep;
        }
    }
    // A million 'a' characters, the long vector of the published test suites.
    _Md5Helper::CContext Context;
    const std::string sThousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) Context.Update(sThousand);
    BYTE pDigest[16];
    Context.Finalize(pDigest);
    EXPECT_EQ(Hex(std::string_view(reinterpret_cast<const char*>(pDigest), 16)), "7707d6ae4e027c70eea2a935c2296f21");
    EXPECT_EQ(_Md5Helper::ToHex(Context.Finalize()), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, HmacRfc2202Vectors) {
    const std::string sKey80(80, '\xaa');
    const struct {
        std::string sKey;
        std::string sMessage;
        const char* pszDigest;
    } kCases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17"
                     "\x18\x19",
                     25),
         std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        // Keys longer than a block are replaced by their digest.
        {sKey80, "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {sKey80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const auto& Case : kCases) {
        EXPECT_EQ(_Md5Helper::ToHex(_Md5Helper::Hmac(Case.sKey, Case.sMessage)), Case.pszDigest) << Case.sMessage;
    }
    // A key of exactly one block is used as it is, not hashed.
    const std::string sKey64(64, 'k');
    EXPECT_NE(_Md5Helper::Hmac(sKey64, "m"), _Md5Helper::Hmac(_Md5Helper::ToHex(_Md5Helper::Digest(sKey64)), "m"));
}

// The worked example of the CRAM-MD5 mechanism: the server's challenge, the shared secret, and the response
// the client sends in Base64.
TEST(Md5, CramMd5Response) {
    const std::string sChallenge = "<1896.697170952@postoffice.reston.mci.net>";
    ASSERT_EQ(_Base64Helper::Encode(sChallenge), "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    const std::string sDigest = _Md5Helper::ToHex(_Md5Helper::Hmac("tanstaaftanstaaf", sChallenge));
    EXPECT_EQ(sDigest, "b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(_Base64Helper::Encode("tim " + sDigest), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(Rc4, PublishedKeyStreams) {
    const struct {
        std::string sKey;
        std::string sPlain;
        const char* pszCipher;
    } kCases[] = {
        {"Key", "Plaintext", "bbf316e8d940af0ad3"},
        {"Wiki", "pedia", "1021bf0420"},
        {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
        {"\x01\x23\x45\x67\x89\xab\xcd\xef", std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8), "75b7878099e0c596"},
    };
    for (const auto& Case : kCases) {
        const std::string sCipher = _Rc4Helper::Transform(Case.sKey, Case.sPlain);
        EXPECT_EQ(Hex(sCipher), Case.pszCipher) << Case.sKey;
        EXPECT_EQ(_Rc4Helper::Transform(Case.sKey, sCipher), Case.sPlain) << "decrypting under " << Case.sKey;
    }
    // A key of the full 256 bytes and one byte longer: the latter is refused and leaves the data alone.
    const std::string sKey256(256, '\x5a');
    EXPECT_NE(_Rc4Helper::Transform(sKey256, "data"), "data");
    EXPECT_EQ(_Rc4Helper::Transform(std::string(257, '\x5a'), "data"), "data");
    EXPECT_EQ(_Rc4Helper::Transform("", "data"), "data");
    EXPECT_EQ(_Rc4Helper::Transform("Key", ""), "");
}

}  // namespace
