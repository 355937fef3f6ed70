// List text: items separated by commas, the form of recipient lists, authentication method names and process
// name patterns. An item holding a blank, a tab, a comma or a double quote is written in double quotes, a
// double quote inside it doubled.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Splits list text into items. Blanks and tabs before an item are skipped; an unquoted item ends at the next
// comma and loses the blanks and tabs before it, while the last unquoted item keeps its trailing ones. A quoted
// item ends at its closing quote (a pair of quotes stands for one quote inside it), and the rest up to and
// including the next comma is discarded. An unterminated quoted item is dropped together with everything after
// it. Empty items are kept; text that is empty after blanks ends the list.
std::vector<std::u16string> SplitList(std::u16string_view sText);

// Joins items with commas, no blanks, quoting the items that need it.
std::u16string JoinList(const std::vector<std::u16string>& ItemList);

}  // namespace corvane
