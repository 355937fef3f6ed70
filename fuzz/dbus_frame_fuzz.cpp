// The framing of the bus's byte stream by the relay in front of the bus library: whatever bytes arrive from
// the socket are read as the head of a message. Besides not crashing or reading past the bytes:
//   - a complete message never claims more bytes than there are, and its prefixes are incomplete;
//   - the relay's error reply to a call read that way is itself a complete message of the size made, whose
//     fields read back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "../platform/src/dbus/DBusFrame.h"
#include "FuzzInput.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "dbus_frame_fuzz", pszWhat);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, std::size_t cb) {
    using namespace comrt::dbus;
    BusFrame frame;
    if (ReadFrame(pData, cb, &frame) != FrameResult::Complete) return 0;
    Check(frame.nSize >= kBusHeaderSize && frame.nSize <= cb, "a message larger than the bytes read");
    BusFrame shorter;
    Check(ReadFrame(pData, frame.nSize - 1, &shorter) == FrameResult::Incomplete, "a prefix read as complete");
    const std::string sReply = MakeErrorReply(frame, 0x80000000u, "Corvane.Error.Fuzz", OverlongPathText(cb, 1));
    BusFrame reply;
    Check(ReadFrame(reinterpret_cast<const uint8_t*>(sReply.data()), sReply.size(), &reply) == FrameResult::Complete,
          "the error reply is no message");
    Check(reply.nSize == sReply.size() && reply.bFieldsRead, "the error reply does not read back");
    Check(reply.nType == kBusMethodError && reply.nPathLength == 0, "the error reply reads as something else");
    return 0;
}
