// List text splitting on arbitrary input. Joining the items and splitting the result must give the same items
// back, except that an empty last item cannot survive: joined text ending in a comma splits without it. The
// joined text of the items must also be stable: joining the items split from it gives it again.
//
// The first input byte chooses how the rest becomes UTF-16 (see FuzzInput.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "corvane/ullisttext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const std::u16string sText = fuzzing::DecodeText(pData, cb);
    std::vector<std::u16string> ItemList = corvane::SplitList(sText);
    const std::u16string sJoined = corvane::JoinList(ItemList);
    if (!ItemList.empty() && ItemList.back().empty()) ItemList.pop_back();
    const std::vector<std::u16string> SplitAgain = corvane::SplitList(sJoined);
    fuzzing::Check(SplitAgain == ItemList, "list_text_fuzz", "joined items split into other items");
    fuzzing::Check(corvane::JoinList(SplitAgain) == corvane::JoinList(ItemList), "list_text_fuzz",
                   "joined text is not stable");
    return 0;
}
