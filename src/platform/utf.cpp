// Portable UTF-8 conversions for platforms whose wide characters are UTF-32
// (Linux) or UTF-16; the Windows layer uses the system's own conversions.
#include <cstdint>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
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

void append_wide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one sequence at bytes[i]; returns false (and the count of bytes to
// skip, at least 1) when the sequence is invalid.
bool decode_one(std::string_view bytes, std::size_t& i, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return false;
    }
    std::size_t j = i + 1;
    for (int k = 1; k < length; ++k, ++j) {
        if (j >= bytes.size()) {
            i = j;
            return false;
        }
        const auto b = static_cast<unsigned char>(bytes[j]);
        if ((b & 0xC0) != 0x80) {
            i = j;  // the offending byte starts the next sequence
            return false;
        }
        c = (c << 6) | (b & 0x3F);
    }
    i = j;
    if (c < minimum || c > 0x10FFFF || is_surrogate(c)) return false;
    out = c;
    return true;
}

}  // namespace

std::string wide_to_utf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const auto low = static_cast<char32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if (is_surrogate(c) || c > 0x10FFFF) c = kReplacement;
        append_utf8(out, c);
    }
    return out;
}

std::optional<std::wstring> utf8_to_wide_strict(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        if (!decode_one(bytes, i, c)) return std::nullopt;
        append_wide(out, c);
    }
    return out;
}

std::wstring utf8_to_wide_replacing(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        append_wide(out, decode_one(bytes, i, c) ? c : kReplacement);
    }
    return out;
}

}  // namespace platform
