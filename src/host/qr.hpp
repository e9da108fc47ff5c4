#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace td::host {

// A QR symbol at error correction level M, with its quiet zone: `size` × `size` modules,
// row by row, true for dark.
struct QrMatrix {
    int size = 0;
    std::vector<bool> dark;
    bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * size + x)]; }
};

std::optional<QrMatrix> qrMatrix(std::string_view text);

// "data:image/png;base64," and the PNG of the QR code, 8 pixels a module; nothing when the text
// does not fit in a QR code.
std::optional<std::string> qrDataURL(std::string_view text);

// The QR code drawn with half-block characters, two modules a character row, for a terminal.
std::string qrTerminalText(const QrMatrix& matrix);

}  // namespace td::host
