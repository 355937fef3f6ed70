// The memory stream (reads, writes, seeks, sizes and the buffer's allocation step) and the Base64 text form
// of a stream, in both directions and with text that is not Base64.
#include "corvane/ulmemorystream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/runtime.h"

namespace {

// One stream reference, released at the end of the test.
struct CStreamHolder {
    CMemoryStreamObject* p = nullptr;
    CStreamHolder() { EXPECT_EQ(CMemoryStreamObject::CreateInstance(&p), S_OK); }
    explicit CStreamHolder(CMemoryStreamObject* pStream) : p(pStream) {}
    CStreamHolder(const CStreamHolder&) = delete;
    CStreamHolder& operator=(const CStreamHolder&) = delete;
    ~CStreamHolder() {
        if (p) p->Release();
    }
    CMemoryStreamObject* operator->() const { return p; }
};

struct CBstr {
    BSTR p = nullptr;
    CBstr() = default;
    explicit CBstr(BSTR b) : p(b) {}
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    ~CBstr() { SysFreeString(p); }
};

LARGE_INTEGER Move(LONGLONG n) {
    LARGE_INTEGER li;
    li.QuadPart = n;
    return li;
}
ULARGE_INTEGER Size(ULONGLONG n) {
    ULARGE_INTEGER li;
    li.QuadPart = n;
    return li;
}

ULONGLONG SeekTo(IStream* p, LONGLONG n, DWORD dwOrigin) {
    ULARGE_INTEGER pos{};
    EXPECT_EQ(p->Seek(Move(n), dwOrigin, &pos), S_OK);
    return pos.QuadPart;
}

std::vector<BYTE> Content(CMemoryStream* p) {
    return {p->GetData(), p->GetData() + p->GetSize()};
}

void WriteBytes(IStream* p, const std::vector<BYTE>& bytes) {
    ULONG n = 0;
    ASSERT_EQ(p->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &n), S_OK);
    ASSERT_EQ(n, bytes.size());
}

TEST(MemoryStream, WritesReadsAndSeeks) {
    CStreamHolder stream;
    WriteBytes(stream.p, {1, 2, 3, 4, 5});
    EXPECT_EQ(stream->GetPosition(), 5u);
    EXPECT_EQ(SeekTo(stream.p, 1, STREAM_SEEK_SET), 1u);
    BYTE buffer[8] = {};
    ULONG nRead = 0;
    EXPECT_EQ(stream->Read(buffer, 3, &nRead), S_OK);
    EXPECT_EQ(nRead, 3u);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(buffer[2], 4);
    // A read past the end gives what is there, then nothing, and still succeeds.
    EXPECT_EQ(stream->Read(buffer, 8, &nRead), S_OK);
    EXPECT_EQ(nRead, 1u);
    EXPECT_EQ(stream->Read(buffer, 8, &nRead), S_OK);
    EXPECT_EQ(nRead, 0u);
    EXPECT_EQ(SeekTo(stream.p, -2, STREAM_SEEK_END), 3u);
    EXPECT_EQ(SeekTo(stream.p, -1, STREAM_SEEK_CUR), 2u);
    WriteBytes(stream.p, {9});
    EXPECT_EQ(Content(stream.p), (std::vector<BYTE>{1, 2, 9, 4, 5}));
    // The position may lie beyond the end; a write there fills the gap with zeros.
    EXPECT_EQ(SeekTo(stream.p, 3, STREAM_SEEK_END), 8u);
    EXPECT_EQ(stream->Read(buffer, 1, &nRead), S_OK);
    EXPECT_EQ(nRead, 0u);
    WriteBytes(stream.p, {7});
    EXPECT_EQ(Content(stream.p), (std::vector<BYTE>{1, 2, 9, 4, 5, 0, 0, 0, 7}));
}

TEST(MemoryStream, RefusesBadArgumentsWithoutChangingAnything) {
    CStreamHolder stream;
    WriteBytes(stream.p, {1, 2, 3});
    ULONG n = 5;
    EXPECT_EQ(stream->Read(nullptr, 1, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(stream->Write(nullptr, 1, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Write(nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(stream->Read(nullptr, 0, nullptr), S_OK);
    ULARGE_INTEGER pos{};
    EXPECT_EQ(stream->Seek(Move(-4), STREAM_SEEK_END, &pos), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(Move(0), 3, &pos), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(Move(0x7FFFFFFFFFFFFFFF), STREAM_SEEK_CUR, &pos), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->GetPosition(), 3u);
    EXPECT_EQ(stream->SetSize(Size(CMemoryStream::MAXIMUM_SIZE + 1)), STG_E_MEDIUMFULL);
    EXPECT_EQ(stream->GetSize(), 3u);
    // Writing beyond the largest size fails and leaves the content alone.
    EXPECT_EQ(SeekTo(stream.p, CMemoryStream::MAXIMUM_SIZE, STREAM_SEEK_SET), CMemoryStream::MAXIMUM_SIZE);
    BYTE b = 1;
    EXPECT_EQ(stream->Write(&b, 1, &n), STG_E_MEDIUMFULL);
    EXPECT_EQ(stream->GetSize(), 3u);
    EXPECT_EQ(stream->Stat(nullptr, STATFLAG_NONAME), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->CopyTo(nullptr, Size(1), nullptr, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Clone(nullptr), STG_E_INVALIDPOINTER);
}

TEST(MemoryStream, CapacityFollowsTheSizeInSteps) {
    CStreamHolder stream;
    EXPECT_EQ(stream->GetCapacity(), 0u);
    WriteBytes(stream.p, {1});
    EXPECT_EQ(stream->GetCapacity(), 4096u);
    EXPECT_EQ(stream->SetSize(Size(4096)), S_OK);
    EXPECT_EQ(stream->GetCapacity(), 4096u);
    EXPECT_EQ(stream->SetSize(Size(4097)), S_OK);
    EXPECT_EQ(stream->GetCapacity(), 8192u);
    // Grown bytes read as zero.
    EXPECT_EQ(stream->GetData()[4096], 0);
    EXPECT_EQ(stream->SetSize(Size(0)), S_OK);
    EXPECT_EQ(stream->GetCapacity(), 0u);
}

TEST(MemoryStream, ShrinkingBelowThePositionMovesIt) {
    CStreamHolder stream;
    WriteBytes(stream.p, std::vector<BYTE>(100, 5));
    EXPECT_EQ(stream->SetSize(Size(40)), S_OK);
    EXPECT_EQ(stream->GetPosition(), 40u);
    EXPECT_EQ(SeekTo(stream.p, 10, STREAM_SEEK_SET), 10u);
    EXPECT_EQ(stream->SetSize(Size(60)), S_OK);
    EXPECT_EQ(stream->GetPosition(), 10u);
    EXPECT_EQ(stream->GetData()[45], 0);
    STATSTG stat;
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.type, STGTY_STREAM);
    EXPECT_EQ(stat.cbSize.QuadPart, 60u);
    EXPECT_EQ(stat.pwcsName, nullptr);
}

TEST(MemoryStream, CopiesClonesAndAnswersItsInterfaces) {
    CStreamHolder source;
    CStreamHolder target;
    WriteBytes(source.p, {1, 2, 3, 4});
    SeekTo(source.p, 1, STREAM_SEEK_SET);
    ULARGE_INTEGER nRead{}, nWritten{};
    EXPECT_EQ(source->CopyTo(target.p, Size(100), &nRead, &nWritten), S_OK);
    EXPECT_EQ(nRead.QuadPart, 3u);
    EXPECT_EQ(nWritten.QuadPart, 3u);
    EXPECT_EQ(Content(target.p), (std::vector<BYTE>{2, 3, 4}));
    // A stream copied onto itself: the read moves the one position, and the write goes on from there.
    SeekTo(target.p, 0, STREAM_SEEK_SET);
    EXPECT_EQ(target->CopyTo(target.p, Size(2), &nRead, &nWritten), S_OK);
    EXPECT_EQ(nWritten.QuadPart, 2u);
    EXPECT_EQ(Content(target.p), (std::vector<BYTE>{2, 3, 2, 3}));
    EXPECT_EQ(target->GetPosition(), 4u);

    CComPtr<IStream> clone;
    EXPECT_EQ(source->Clone(&clone), S_OK);
    ASSERT_TRUE(clone);
    ULARGE_INTEGER pos{};
    EXPECT_EQ(clone->Seek(Move(0), STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos.QuadPart, 4u);
    WriteBytes(clone, {8});
    EXPECT_EQ(source->GetSize(), 4u);

    CComPtr<ISequentialStream> sequential;
    EXPECT_EQ(source->QueryInterface(IidOf<ISequentialStream>(), reinterpret_cast<void**>(&sequential)), S_OK);
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(source->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown.p, static_cast<IUnknown*>(static_cast<IStream*>(source.p)));
    EXPECT_EQ(source->LockRegion(Size(0), Size(1), 0), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(source->Commit(0), S_OK);
}

TEST(MemoryStream, CarriesAClassIdentifier) {
    CStreamHolder stream;
    const CLSID clsid = MakeGuid("12345678-9ABC-DEF0-1122-334455667788");
    EXPECT_EQ(WriteClassStm(stream.p, clsid), S_OK);
    EXPECT_EQ(stream->GetSize(), 16u);
    SeekTo(stream.p, 0, STREAM_SEEK_SET);
    CLSID read{};
    EXPECT_EQ(ReadClassStm(stream.p, &read), S_OK);
    EXPECT_EQ(read, clsid);
}

std::u16string BstrText(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

std::u16string TextOf(const std::vector<BYTE>& bytes) {
    CStreamHolder stream;
    if (!bytes.empty()) WriteBytes(stream.p, bytes);
    CBstr text;
    EXPECT_EQ(_MemoryStreamHelper::BstrFromMemoryStream(stream.p, &text.p), S_OK);
    EXPECT_NE(text.p, nullptr);
    EXPECT_EQ(stream->GetPosition(), bytes.size());
    return BstrText(text.p);
}

std::vector<BYTE> BytesOf(BSTR b) {
    CMemoryStreamObject* p = nullptr;
    EXPECT_EQ(_MemoryStreamHelper::MemoryStreamFromBstr(b, &p), S_OK);
    if (p == nullptr) return {};
    CStreamHolder stream(p);
    EXPECT_EQ(stream->GetPosition(), 0u);
    return Content(stream.p);
}

std::vector<BYTE> BytesOfWide(const std::u16string& s) {
    CBstr b(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
    return BytesOf(b.p);
}
std::vector<BYTE> BytesOfNarrow(const std::string& s) {
    CBstr b(SysAllocStringByteLen(s.data(), static_cast<UINT>(s.size())));
    return BytesOf(b.p);
}

TEST(StreamText, EncodesWithoutPaddingOrLineBreaks) {
    EXPECT_EQ(TextOf({0x01, 0x00, 0x00}), u"AQAA");
    EXPECT_EQ(TextOf({0x01}), u"AQ");
    EXPECT_EQ(TextOf({}), u"");
    std::vector<BYTE> bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i);
    const std::u16string text = TextOf(bytes);
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text.find(u'\r'), std::u16string::npos);
    EXPECT_EQ(BytesOfWide(text), bytes);

    CBstr b;
    EXPECT_EQ(_MemoryStreamHelper::BstrFromMemoryStream(nullptr, &b.p), E_POINTER);
    CStreamHolder stream;
    EXPECT_EQ(_MemoryStreamHelper::BstrFromMemoryStream(stream.p, nullptr), E_POINTER);
}

TEST(StreamText, DecodesWideAndByteText) {
    EXPECT_EQ(BytesOfWide(u"AQAA"), (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(BytesOfWide(u"AQ"), (std::vector<BYTE>{1}));
    // Byte text: the second byte is not 0.
    EXPECT_EQ(BytesOfNarrow("AQAA"), (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(BytesOfNarrow("Zm9vYg"), (std::vector<BYTE>{'f', 'o', 'o', 'b'}));
    // One byte is byte text; a single character yields nothing.
    EXPECT_EQ(BytesOfNarrow("Q"), std::vector<BYTE>{});
    EXPECT_EQ(BytesOf(nullptr), std::vector<BYTE>{});
    EXPECT_EQ(BytesOfWide(u""), std::vector<BYTE>{});
    EXPECT_EQ(BytesOfNarrow(""), std::vector<BYTE>{});
}

TEST(StreamText, SkipsJunkAndStopsAtNul) {
    EXPECT_EQ(BytesOfWide(u"A Q=A\r\nA"), (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(BytesOfWide(u"!!!!"), std::vector<BYTE>{});
    // A character beyond ASCII whose low byte is an alphabet character is still junk.
    EXPECT_EQ(BytesOfWide(u"A\u0151QAA"), (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(BytesOfWide(std::u16string(u"AQAA\0AQAA", 9)), (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(BytesOfNarrow(std::string("AQAA\xff\x80\x01"
                                        "AQAA",
                                        11)),
              (std::vector<BYTE>{1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(_MemoryStreamHelper::MemoryStreamFromBstr(nullptr, nullptr), E_POINTER);
}

TEST(StreamText, RoundTripsRandomContent) {
    std::mt19937 random(7);
    for (int i = 0; i < 100; ++i) {
        std::vector<BYTE> bytes(random() % 10000);
        for (BYTE& b : bytes) b = static_cast<BYTE>(random());
        const std::u16string text = TextOf(bytes);
        EXPECT_EQ(BytesOfWide(text), bytes);
    }
}

}  // namespace
