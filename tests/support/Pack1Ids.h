// The identifiers of HarkwellPack1's classes and interfaces, as tests and benchmarks that drive the plug-in
// library from outside know them (they take nothing from the library's own headers).
#pragma once

#include "comrt/types.h"

namespace testing_support {

inline constexpr CLSID kPingActivity = MakeGuid("{C7F52DB5-970B-4B5E-BF37-71D8CDCD3147}");
inline constexpr IID kIPingActivity = MakeGuid("{D649853E-DDD6-4ED1-BEEB-7374056DB95A}");
inline constexpr CLSID kProcessCheckActivity = MakeGuid("{29DB5530-9FAB-489C-8962-445C3B2A4B25}");
inline constexpr CLSID kFileSystemCheckActivity = MakeGuid("{9072A8A9-9CC1-4436-81B6-F0E54563365C}");
inline constexpr CLSID kSystemPerformanceCheckActivity = MakeGuid("{EB7343BA-5BDD-4FFD-8370-4059883B9DE4}");
inline constexpr CLSID kSmtpNotification = MakeGuid("{0CDDC755-6571-42AF-88DA-C96B9833F959}");
inline constexpr IID kISmtpNotification = MakeGuid("{68B49935-46C9-4DB4-BEC9-F425FCF070D5}");
inline constexpr IID kISmtpNotificationSecurity = MakeGuid("{18B9AE91-7DF2-4892-9695-AD70EAA817A5}");

}  // namespace testing_support
