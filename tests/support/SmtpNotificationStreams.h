// Streams of the e-mail notification kept as test vectors: what objects stored by earlier versions hold.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// The stream of a notification saved before Security and VerifyServerCertificate existed: server
// mail.example.org:587, sender monitor@example.org, to ops@example.org, subject "S: $(Subject)", body
// "$(Body)", method login, name jane, password Tops3cret (scrambled), time-out 30000 ms.
inline constexpr char SMTP_NOTIFICATION_STREAM_BEFORE_SECURITY[] =
    "000800000800220000006d00610069006c002e006500780061006d0070006c00"
    "65002e006f0072006700000003004b0200000800280000006d006f006e006900"
    "74006f00720040006500780061006d0070006c0065002e006f00720067000000"
    "0800200000006f007000730040006500780061006d0070006c0065002e006f00"
    "7200670000000800020000000000080002000000000008001c00000053003a00"
    "2000240028005300750062006a00650063007400290000000800100000002400"
    "280042006f00640079002900000008000c0000006c006f00670069006e000000"
    "08000a0000006a0061006e00650000000800320000007100640030004c004400"
    "4200540031006c006e004a007200740071006a003600680071006e004d006c00"
    "5700620053000000030030750000";

inline std::string BytesFromHex(std::string_view sHex) {
    std::string sBytes;
    for (std::size_t i = 0; i + 1 < sHex.size(); i += 2)
        sBytes += static_cast<char>(std::stoi(std::string(sHex.substr(i, 2)), nullptr, 16));
    return sBytes;
}

}  // namespace testing_support
