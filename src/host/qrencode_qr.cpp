#include "host/qr.hpp"

#include <png.h>
#include <qrencode.h>

#include <memory>

#include "common/base64.hpp"

namespace td::host {
namespace {

constexpr int QUIET_ZONE = 4;  // modules of light border that scanners need
constexpr int SCALE = 8;       // pixels per module

using QrCodePtr = std::unique_ptr<QRcode, decltype(&QRcode_free)>;

void appendToString(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), length);
}

// An 8-bit grey PNG of the matrix, SCALE pixels a module.
std::optional<std::string> encodePng(const QrMatrix& matrix) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        return std::nullopt;
    }
    png_infop info = png_create_info_struct(png);
    std::string out;
    const int pixels = matrix.size * SCALE;
    std::vector<png_byte> row(static_cast<std::size_t>(pixels));
    // libpng reports errors by longjmp; nothing with a destructor lives across it below.
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendToString, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(pixels), static_cast<png_uint_32>(pixels), 8,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < pixels; ++y) {
        for (int x = 0; x < pixels; ++x) {
            row[static_cast<std::size_t>(x)] = matrix.at(x / SCALE, y / SCALE) ? 0 : 255;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace

std::optional<QrMatrix> qrMatrix(std::string_view text) {
    QrCodePtr code(
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) {
        return std::nullopt;
    }
    QrMatrix matrix;
    matrix.size = code->width + 2 * QUIET_ZONE;
    matrix.dark.assign(static_cast<std::size_t>(matrix.size * matrix.size), false);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            const bool dark = code->data[y * code->width + x] & 1;
            matrix.dark[static_cast<std::size_t>((y + QUIET_ZONE) * matrix.size + x + QUIET_ZONE)] =
                dark;
        }
    }
    return matrix;
}

std::optional<std::string> qrDataURL(std::string_view text) {
    auto matrix = qrMatrix(text);
    if (!matrix) {
        return std::nullopt;
    }
    auto png = encodePng(*matrix);
    if (!png) {
        return std::nullopt;
    }
    return "data:image/png;base64," + base64Encode(*png);
}

std::string qrTerminalText(const QrMatrix& matrix) {
    // Drawn for the usual light-on-dark terminal: light modules (quiet zone included) are the
    // blocks, dark modules the background.
    std::string out;
    for (int y = 0; y < matrix.size; y += 2) {
        for (int x = 0; x < matrix.size; ++x) {
            const bool top = matrix.at(x, y);
            const bool bottom = y + 1 < matrix.size && matrix.at(x, y + 1);
            if (!top && !bottom) {
                out += "\u2588";  // full block
            } else if (!top) {
                out += "\u2580";  // upper half
            } else if (!bottom) {
                out += "\u2584";  // lower half
            } else {
                out += " ";
            }
        }
        out += "\n";
    }
    return out;
}

}  // namespace td::host
