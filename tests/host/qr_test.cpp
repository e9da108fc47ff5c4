#include "host/qr.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>

#include "support/temp_dir.hpp"

namespace td::host {
namespace {

std::string decodeBase64(const std::string& text) {
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    // EVP_DecodeBlock keeps the padding's zero bytes; PNG ends with IEND, so trim after it.
    const std::size_t end = out.rfind("IEND");
    return end == std::string::npos ? out : out.substr(0, end + 8);
}

// What a real QR reader makes of the PNG.
std::string scan(const std::string& png) {
    test::TempDir dir;
    const auto file = dir.path() / "qr.png";
    std::ofstream(file, std::ios::binary) << png;
    const std::string command = "zbarimg --raw -q " + file.string();
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) {
        out += buffer;
    }
    if (pipe) {
        ::pclose(pipe);
    }
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

TEST(QrDataURL, ScansBackToTheText) {
    for (std::string text :
         {std::string("http://192.168.1.7:8788/?pair=0123456789abcdef"),
          std::string("https://relay.tapdeck.app/phone/0F8E5B1C-0000-4000-8000-00000000ABCD/"
                      "?pair=fedcba9876543210"),
          std::string("caf\xC3\xA9 \xF0\x9F\x9A\x80")}) {
        const auto url = qrDataURL(text);
        ASSERT_TRUE(url);
        const std::string prefix = "data:image/png;base64,";
        ASSERT_TRUE(url->starts_with(prefix));
        EXPECT_EQ(url->find('\n'), std::string::npos);
        const std::string png = decodeBase64(url->substr(prefix.size()));
        ASSERT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
        EXPECT_EQ(scan(png), text);
    }
}

TEST(QrDataURL, ScaleAndTooLongText) {
    const auto matrix = qrMatrix("hello");
    ASSERT_TRUE(matrix);
    EXPECT_EQ(matrix->size, 21 + 8);  // version 1 plus the quiet zone
    EXPECT_FALSE(qrDataURL(std::string(5000, 'x')));
    const std::string terminal = qrTerminalText(*matrix);
    EXPECT_EQ(std::count(terminal.begin(), terminal.end(), '\n'), (matrix->size + 1) / 2);
}

}  // namespace
}  // namespace td::host
