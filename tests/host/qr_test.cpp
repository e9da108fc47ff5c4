#include "host/qr.hpp"

#include <gtest/gtest.h>

#include "common/files.hpp"
#include "host/process.hpp"
#include "support/temp_dir.hpp"

namespace td::host {
namespace {

// What a real QR reader makes of the picture a data URL carries.
std::string scan(const std::string& dataURL) {
    test::TempDir dir;
    dir.write("qr.b64", dataURL.substr(dataURL.find(',') + 1));
    const std::string png = (dir.path() / "qr.png").string();
    std::string text =
        runProcess("sh", {"-c", R"(base64 -d <"$0" >"$1" && zbarimg --raw -q "$1" 2>/dev/null)",
                          (dir.path() / "qr.b64").string(), png})
            .output;
    EXPECT_TRUE(readWholeFile(png).value_or("").starts_with("\x89PNG\r\n\x1a\n"));
    return text.ends_with('\n') ? text.substr(0, text.size() - 1) : text;
}

TEST(QrDataURL, ScansBackToTheText) {
    for (std::string text :
         {std::string("http://192.168.1.7:8788/?pair=0123456789abcdef"),
          std::string("https://relay.tapdeck.app/phone/0F8E5B1C-0000-4000-8000-00000000ABCD/"
                      "?pair=fedcba9876543210"),
          std::string("caf\xC3\xA9 \xF0\x9F\x9A\x80")}) {
        const auto url = qrDataURL(text);
        ASSERT_TRUE(url);
        ASSERT_TRUE(url->starts_with("data:image/png;base64,"));
        EXPECT_EQ(url->find('\n'), std::string::npos);
        EXPECT_EQ(scan(*url), text);
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
