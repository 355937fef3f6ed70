// The outbox record reader on arbitrary bytes: it never reads outside them, and a record it accepts is
// within its bounds and reads back the same once written again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "SmtpOutboxRecord.h"

namespace {

const char kTarget[] = "smtp_outbox_record_fuzz";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    COutboxRecord Record;
    if (!ReadOutboxRecord(std::string_view(reinterpret_cast<const char*>(pData), cb), Record)) return 0;
    fuzzing::Check(Record.m_sMessageData.size() <= cb, kTarget, "a message larger than the record");
    fuzzing::Check(Record.m_Settings.m_RetryIntervalList.size() <= MAX_RETRY_COUNT, kTarget, "too many retries");
    fuzzing::Check(Record.m_Settings.m_nServerPort != 0, kTarget, "port 0 accepted");
    // Written again, the record reads back, and writing that gives the same bytes.
    const std::string sBytes = WriteOutboxRecord(Record);
    COutboxRecord Again;
    fuzzing::Check(ReadOutboxRecord(sBytes, Again), kTarget, "a written record does not read back");
    fuzzing::Check(WriteOutboxRecord(Again) == sBytes, kTarget, "a record changes when written again");
    return 0;
}
