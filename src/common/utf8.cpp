#include "common/utf8.hpp"

namespace td {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    auto continuation = [&](std::size_t k) { return k < n && (at(k) & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char lead = at(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        unsigned minimum = 0;
        unsigned codePoint = 0;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, codePoint = lead & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if (!continuation(i + k)) {
                return false;
            }
            codePoint = (codePoint << 6) | (at(i + k) & 0x3F);
        }
        const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
        if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace td
