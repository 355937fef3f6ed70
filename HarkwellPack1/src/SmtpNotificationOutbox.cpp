// The e-mail notification's outbox: its messages as values of the user's store, numbered in queue order,
// written when an event is queued, rewritten after a failed attempt and deleted once the server took the
// message or it was given up; read back into the queue when the object is loaded.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "SmtpNotification.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulregistry.h"

CSmtpNotification::CTask::CTask(const COutboxRecord& Record, std::u16string sRecordName)
    : m_sMessageData(Record.m_sMessageData),
      m_Settings(Record.m_Settings),
      m_nLevel(0),
      m_nTime(static_cast<std::time_t>(Record.m_nTime)) {
    m_Settings.m_sAuthenticationPassword = UnscramblePassword(Record.m_sScrambledPassword);
    m_nAttemptCount = Record.m_nAttemptCount;
    // A clock set back since the record was written must not hold the message longer than an interval may.
    const std::int64_t nWait =
        std::clamp<std::int64_t>(Record.m_nNextAttemptTime - std::time(nullptr), 0, MAX_RETRY_INTERVAL);
    m_nNextAttemptTick = GetTickCount() + static_cast<DWORD>(nWait) * 1000;
    m_sRecordName = std::move(sRecordName);
}

COutboxRecord CSmtpNotification::CTask::MakeRecord(std::time_t nNextAttemptTime) const {
    COutboxRecord Record;
    Record.m_Settings = m_Settings;
    Record.m_Settings.m_sAuthenticationPassword.clear();
    Record.m_sScrambledPassword = ScramblePassword(m_Settings.m_sAuthenticationPassword);
    Record.m_nAttemptCount = static_cast<std::uint32_t>(m_nAttemptCount);
    Record.m_nTime = static_cast<std::int64_t>(m_nTime);
    Record.m_nNextAttemptTime = static_cast<std::int64_t>(nNextAttemptTime);
    Record.m_sMessageData = m_sMessageData;
    return Record;
}

std::u16string CSmtpNotification::FormatRecordName(std::uint64_t nNumber) {
    char szName[24];
    std::snprintf(szName, sizeof szName, "%016llu", static_cast<unsigned long long>(nNumber));
    return comrt::ToUtf16(szName);
}

bool CSmtpNotification::ParseRecordName(std::u16string_view sName, std::uint64_t& nNumber) noexcept {
    // Up to 19 digits, which no 64-bit number overflows: numbers counted on past a kept value of 16 nines
    // still read.
    if (sName.size() < 16 || sName.size() > 19) return false;
    std::uint64_t n = 0;
    for (const char16_t c : sName) {
        if (c < u'0' || c > u'9') return false;
        n = 10 * n + static_cast<std::uint64_t>(c - u'0');
    }
    nNumber = n;
    return true;
}

void CSmtpNotification::LoadOutbox() {
    const std::u16string sPath = GetOutboxPath();
    const std::string sPathText = comrt::ToUtf8(sPath);
    CRegKey Key;
    const LONG nOpen = Key.Open(HKEY_CURRENT_USER, sPath, KEY_READ);
    if (nOpen == ERROR_FILE_NOT_FOUND) return;
    if (nOpen != ERROR_SUCCESS) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The outbox %s cannot be read (%ld): its messages are not sent now\n",
                 sPathText.c_str(), static_cast<long>(nOpen));
        return;
    }
    const auto TraceDamaged = [&](const std::u16string& sName) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                 "The stored message \"%s\" of the outbox %s cannot be read: skipped, and kept in the store as it is\n",
                 comrt::ToUtf8(sName).c_str(), sPathText.c_str());
    };
    // The names first, checked against the form and the size any record has before a byte is read.
    std::vector<std::pair<std::uint64_t, std::u16string>> Names;
    std::uint64_t nHighest = 0;
    for (DWORD nIndex = 0;; ++nIndex) {
        char16_t szName[MAX_REG_NAME + 1];
        DWORD nNameLength = MAX_REG_NAME + 1;
        DWORD nType = 0;
        DWORD nSize = 0;
        const LONG nResult = RegEnumValueW(Key, nIndex, szName, &nNameLength, nullptr, &nType, nullptr, &nSize);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult != ERROR_SUCCESS) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Value %u of the outbox %s cannot be read (%ld): skipped\n",
                     static_cast<unsigned>(nIndex), sPathText.c_str(), static_cast<long>(nResult));
            continue;
        }
        std::u16string sName(szName, nNameLength);
        std::uint64_t nNumber = 0;
        const bool bNumbered = ParseRecordName(sName, nNumber);
        // A kept value's number is never given to a new record.
        if (bNumbered) nHighest = std::max(nHighest, nNumber);
        if (!bNumbered || nType != REG_BINARY || nSize > COutboxRecord::MAX_RECORD_SIZE) {
            TraceDamaged(sName);
            continue;
        }
        Names.emplace_back(nNumber, std::move(sName));
    }
    std::sort(Names.begin(), Names.end());
    std::deque<std::unique_ptr<CTask>> Loaded;
    for (const auto& [nNumber, sName] : Names) {
        std::vector<BYTE> Data;
        COutboxRecord Record;
        if (Key.QueryBinaryValue(sName, Data) != ERROR_SUCCESS ||
            !ReadOutboxRecord(std::string_view(reinterpret_cast<const char*>(Data.data()), Data.size()), Record)) {
            TraceDamaged(sName);
            continue;
        }
        Loaded.push_back(std::make_unique<CTask>(Record, sName));
    }
    const bool bAny = !Loaded.empty();
    {
        CUlCriticalSectionLock QueueLock(m_QueueCriticalSection);
        m_nNextRecordNumber = std::max(m_nNextRecordNumber, nHighest + 1);
        m_TaskQueue.insert(m_TaskQueue.begin(), std::make_move_iterator(Loaded.begin()),
                           std::make_move_iterator(Loaded.end()));
        if (bAny) UL_ASSERT(m_TaskAvailabilityEvent.Set());
    }
    if (bAny) StartWorker();
}

void CSmtpNotification::WriteRecord(CTask& Task, std::time_t nNextAttemptTime) noexcept {
    LONG nResult = ERROR_INVALID_DATA;
    std::string sStoreError;
    corvane::GuardedOperation([&] {
        const std::string sBytes = WriteOutboxRecord(Task.MakeRecord(nNextAttemptTime));
        // Only what reads back is stored: a message beyond the record's bounds would stay as a damaged value.
        COutboxRecord Check;
        if (!ReadOutboxRecord(sBytes, Check)) return;
        CRegKey Key;
        nResult = Key.Create(HKEY_CURRENT_USER, GetOutboxPath(), KEY_READ | KEY_WRITE);
        if (nResult == ERROR_SUCCESS)
            nResult = Key.SetBinaryValue(Task.m_sRecordName, sBytes.data(), static_cast<DWORD>(sBytes.size()));
        if (nResult != ERROR_SUCCESS) sStoreError = RegGetLastStoreError();
    });
    if (nResult == ERROR_SUCCESS) return;
    // The name stays with the task: a value an earlier write left is deleted when the task ends.
    UL_TRACE(corvane::TRACE_LEVEL_ERROR,
             "The message to %s:%u could not be kept in the outbox as \"%s\" (%ld) %s: it is delivered from memory, "
             "and lost if the process ends first\n",
             comrt::ToUtf8(Task.GetSettings().m_sServerHost).c_str(),
             static_cast<unsigned>(Task.GetSettings().m_nServerPort), comrt::ToUtf8(Task.m_sRecordName).c_str(),
             static_cast<long>(nResult), sStoreError.c_str());
}

void CSmtpNotification::DeleteRecord(const CTask& Task) noexcept {
    if (Task.m_sRecordName.empty()) return;
    corvane::GuardedOperation([&] {
        // The key stays while the object lives (FinalRelease removes it when empty): removed and made
        // again with every message that finds the queue empty, it would cost two more writes each.
        const std::u16string sPath = GetOutboxPath();
        CRegKey Key;
        LONG nResult = Key.Open(HKEY_CURRENT_USER, sPath, KEY_READ | KEY_WRITE);
        if (nResult == ERROR_SUCCESS) nResult = Key.DeleteValue(Task.m_sRecordName);
        if (nResult != ERROR_SUCCESS && nResult != ERROR_FILE_NOT_FOUND)
            UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                     "The message \"%s\" could not be removed from the outbox %s (%ld) %s: it is sent again when "
                     "the outbox is next read\n",
                     comrt::ToUtf8(Task.m_sRecordName).c_str(), comrt::ToUtf8(sPath).c_str(),
                     static_cast<long>(nResult), RegGetLastStoreError().c_str());
    });
}
