// The stored form of one pending e-mail: everything its delivery needs without the notification that made
// it (a copy of the delivery settings, the password only in its scrambled text form, the composed message
// with the Date of its event), and where its retries stand. One record is one binary value of the store.
//
// Layout, little-endian, version 1:
//   "HWOB"  u16 version  u16 0
//   u32 attempts made   i64 time of the event   i64 earliest time of the next attempt (seconds since 1970)
//   text server host   u16 port   text sender   text To   text CC   text BCC
//   text authentication methods (list text)   text authentication name   text scrambled password
//   i32 time-out   i32 security   u8 verify certificate (0 or 1)
//   u32 retry count, then that many i32 intervals in seconds
//   u32 message byte count, then the message bytes
// A text is a u32 count of UTF-16 units followed by the units. Nothing may follow the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "SmtpSettings.h"

struct COutboxRecord {
    static constexpr std::uint16_t VERSION = 1;
    // Bounds a reader holds every record to, far above anything a notification makes.
    static constexpr std::size_t MAX_TEXT_UNITS = 64 * 1024;
    static constexpr std::size_t MAX_MESSAGE_SIZE = 16 * 1024 * 1024;
    static constexpr std::uint32_t MAX_ATTEMPT_COUNT = MAX_RETRY_COUNT + 1;
    // No record within the bounds is larger: the fixed fields, nine texts, the schedule and the message.
    static constexpr std::size_t MAX_RECORD_SIZE =
        28 + 9 * (4 + 2 * MAX_TEXT_UNITS) + 2 + 9 + 4 + 4 * MAX_RETRY_COUNT + 4 + MAX_MESSAGE_SIZE;

    // The settings of the delivery; the password fields and the templates are not used (the password
    // travels as m_sScrambledPassword, the message is composed already).
    CSmtpSettings m_Settings;
    std::u16string m_sScrambledPassword;
    std::uint32_t m_nAttemptCount = 0;
    std::int64_t m_nTime = 0;
    std::int64_t m_nNextAttemptTime = 0;
    std::string m_sMessageData;
};

// The record's bytes; the settings are taken as they are (a record is only made of valid settings).
std::string WriteOutboxRecord(const COutboxRecord& Record);
// Reads the bytes of a record: true with Record filled when they are a complete record of VERSION whose
// every field is within its bounds (the rules of the settings' puts, the bounds above) and nothing follows;
// false, Record in an unspecified state, for anything else. Never reads outside sBytes.
bool ReadOutboxRecord(std::string_view sBytes, COutboxRecord& Record);
