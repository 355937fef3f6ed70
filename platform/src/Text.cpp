#include "comrt/text.h"

namespace comrt {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

char16_t FoldCase(char16_t c) noexcept {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 32);
    return c;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    // ASCII, the common case, widens byte by byte.
    std::size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
    out.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i));
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int nTrail;
        char32_t c;
        if (b < 0x80) {
            c = b;
            nTrail = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F;
            nTrail = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F;
            nTrail = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07;
            nTrail = 3;
        } else {
            out += static_cast<char16_t>(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool bValid = true;
        for (int k = 0; k < nTrail; ++k, ++j) {
            if (j >= text.size() || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) {
                bValid = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        if (bValid && ((nTrail == 2 && c < 0x800) || (nTrail == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
                       (c >= 0xD800 && c <= 0xDFFF))) {
            bValid = false;
        }
        if (!bValid) {
            out += static_cast<char16_t>(kReplacement);
            i = (j > i + 1) ? j : i + 1;
            continue;
        }
        AppendUtf16(out, c);
        i = j;
    }
    return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t ca = FoldCase(a[i]);
        const char16_t cb = FoldCase(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace comrt
