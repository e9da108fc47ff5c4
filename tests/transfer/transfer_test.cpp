#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "support/temp_dir.hpp"
#include "transfer/downloads.hpp"
#include "transfer/inbox.hpp"
#include "transfer/multipart.hpp"

namespace td::transfer {
namespace {

// What a reader saw, as one text: "[name|file|type]bytes{end}" for each part.
struct Seen {
    std::string text;
    MultipartReader::Events events() {
        return {[this](const FormPart& part) {
                    text += "[" + part.name + "|" + part.fileName.value_or("-") + "|" +
                            part.contentType + "]";
                    return true;
                },
                [this](std::string_view bytes) {
                    text.append(bytes);
                    return true;
                },
                [this] {
                    text += "{end}";
                    return true;
                }};
    }
};

constexpr char FORM[] =
    "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\nLook\r\n\r\n"
    "https://example.org/x\r\n--XyZ\r\nContent-Disposition: form-data; name=\"files\"; "
    "filename=\"a \\\"b\\\".bin\"\r\nContent-Type: application/octet-stream\r\n\r\n"
    "\r\n--XyY\r\n--X\0\r\n"
    "\r\n--XyZ--\r\nepilogue";

TEST(Multipart, APartsBytesAreTheSameHoweverTheFormIsCut) {
    const std::string form(FORM, sizeof FORM - 1);
    constexpr char EXPECTED[] =
        "[text|-|]Look\r\n\r\nhttps://example.org/x{end}"
        "[files|a \"b\".bin|application/octet-stream]\r\n--XyY\r\n--X\0\r\n{end}";
    const std::string expected(EXPECTED, sizeof EXPECTED - 1);
    for (std::size_t cut = 0; cut <= form.size(); ++cut) {
        for (const std::size_t step : {std::size_t(1), form.size()}) {
            Seen seen;
            MultipartReader reader("XyZ", seen.events());
            auto status = reader.feed(form.substr(0, cut));
            for (std::size_t at = cut; at < form.size(); at += step) {
                status = reader.feed(form.substr(at, step));
            }
            ASSERT_EQ(status, MultipartReader::Status::done) << cut;
            ASSERT_EQ(seen.text, expected) << cut;
        }
    }
    EXPECT_EQ(MultipartReader::boundaryOf("multipart/form-data; boundary=\"XyZ\""), "XyZ");
    EXPECT_EQ(MultipartReader::boundaryOf("Multipart/Form-Data;boundary=----abc"), "----abc");
    EXPECT_FALSE(MultipartReader::boundaryOf("application/json; boundary=XyZ"));
    EXPECT_FALSE(
        MultipartReader::boundaryOf("multipart/form-data; boundary=" + std::string(71, 'b')));
}

TEST(Multipart, FormsThatNeverEndOrOverflowAreMalformedAndACallbackStops) {
    using Status = MultipartReader::Status;
    const auto read = [](const std::string& form, MultipartReader::Events events = {}) {
        MultipartReader reader("b", std::move(events));
        const Status status = reader.feed(form);
        return status == Status::more ? reader.finish() : status;
    };
    EXPECT_EQ(read("--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nnever closed"),
              Status::malformed);
    EXPECT_EQ(read(std::string(40000, 'p')), Status::malformed) << "a preamble without end";
    EXPECT_EQ(read("--b\r\n" + std::string(17000, 'h')), Status::malformed) << "a head without end";
    EXPECT_EQ(read("--bX"), Status::malformed);
    std::string many;
    for (int i = 0; i < 300; ++i) {
        many += "--b\r\n\r\nx\r\n";
    }
    EXPECT_EQ(read(many + "--b--"), Status::malformed) << "too many parts";
    EXPECT_EQ(read("--b\r\n\r\n\r\n--b--"), Status::done) << "a part with no head";
    Seen cut;
    EXPECT_EQ(read("--b\r\n\r\nbytes\r\n--bX", cut.events()), Status::malformed);
    EXPECT_EQ(cut.text, "[|-|]bytes") << "a part is whole only at a delimiter that is one";
    Seen seen;
    auto stopping = seen.events();
    stopping.partBytes = [](std::string_view) { return false; };
    EXPECT_EQ(read("--b\r\n\r\nbytes\r\n--b--", stopping), Status::stopped);
}

TEST(Downloads, NamesFromPhonesNeverLeaveTheFolderNorHideNorOverflow) {
    EXPECT_EQ(cleanFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(cleanFileName("C:\\Users\\me\\photo.jpg"), "photo.jpg");
    EXPECT_EQ(cleanFileName(".bashrc"), "bashrc");
    EXPECT_EQ(cleanFileName(std::string("a\0b\x01\x7f\n.txt", 10)), "ab.txt");
    EXPECT_EQ(cleanFileName("\xC2\x85hidden\xff.txt"), "hidden.txt") << "C1 controls, bad bytes";
    EXPECT_EQ(cleanFileName("photo\xE2\x80\xAEgpj.exe"), "photogpj.exe") << "no reordering";
    EXPECT_EQ(cleanFileName("\xEF\xBB\xBF-rf \xE2\x80\x8B.txt"), "rf .txt");
    EXPECT_EQ(cleanFileName("caf\xC3\xA9 \xE2\x82\xAC.txt"), "caf\xC3\xA9 \xE2\x82\xAC.txt");
    EXPECT_EQ(cleanFileName(".."), "file");
    EXPECT_EQ(cleanFileName("/"), "file");
    const std::string longName =
        cleanFileName(std::string(5000, 'x') + "\xC3\xA9" + std::string(5000, 'y') + ".jpeg");
    EXPECT_LE(longName.size() + 6 + 5, MAX_NAME_BYTES) << "room for \" (NNN)\" and \".part\"";
    EXPECT_TRUE(longName.ends_with("x.jpeg")) << longName;
    const std::string cutInside = cleanFileName(std::string(243, 'x') + "\xE2\x82\xAC" + "x");
    EXPECT_EQ(cutInside, std::string(243, 'x')) << "never half a character";
    EXPECT_EQ(numberedName("photo.jpg", 2), "photo (2).jpg");
    EXPECT_EQ(numberedName("archive", 3), "archive (3)");
}

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Downloads, ArrivalsOfOneNameAtOnceEachGetTheirOwnAndAnUnfinishedOneLeavesNothing) {
    test::TempDir folder;
    std::ofstream(folder.path() / "photo.jpg") << "there before";
    auto first = Arrival::begin(folder.path(), "photo.jpg");
    auto second = Arrival::begin(folder.path(), "sub/photo.jpg");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->write("first"), Arrival::Outcome::ok);
    EXPECT_EQ(second->write("second"), Arrival::Outcome::ok);
    // The second finishes first and takes the first free name; the first then takes the next.
    EXPECT_EQ(second->finish(), "photo (3).jpg");
    EXPECT_EQ(first->finish(), "photo (2).jpg");
    EXPECT_EQ(contentOf(folder.path() / "photo.jpg"), "there before");
    EXPECT_EQ(contentOf(folder.path() / "photo (2).jpg"), "first");
    EXPECT_EQ(contentOf(folder.path() / "photo (3).jpg"), "second");
    {
        auto unfinished = Arrival::begin(folder.path(), "photo.jpg");
        ASSERT_TRUE(unfinished);
        EXPECT_EQ(unfinished->write("half"), Arrival::Outcome::ok);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 3)
        << "its .part is gone";
}

TEST(Downloads, UploadsAtOnceNeverTogetherEatIntoTheReserve) {
    SpaceBudget budget;
    const std::uint64_t free = KEPT_FREE_BYTES + 100;
    auto first = budget.hold(free, 60);
    ASSERT_TRUE(first);
    EXPECT_FALSE(budget.hold(free, 60)) << "the first may still write its 60";
    first->wrote(50);  // the disk shows it now
    EXPECT_TRUE(budget.hold(free - 50, 40));
    EXPECT_FALSE(budget.hold(free - 50, 41));
    first.reset();
    EXPECT_TRUE(budget.hold(free - 50, 50));
}

TEST(Inbox, ItemsLastAnHourTheNewestTwentyStayAndAChangedFileIsNotTheSame) {
    auto now = std::chrono::steady_clock::time_point{};
    int changes = 0;
    Inbox inbox([&] { ++changes; }, [&] { return now; });
    test::TempDir folder;
    const auto file = folder.path() / "notes.txt";
    std::ofstream(file) << "v1";
    std::string error;
    const auto fileId = inbox.addFile(file, error);
    ASSERT_TRUE(fileId) << error;
    EXPECT_FALSE(inbox.addFile(folder.path(), error)) << "a folder";
    EXPECT_FALSE(inbox.addFile("relative.txt", error));
    EXPECT_FALSE(inbox.addUrl("javascript:alert(1)", error));
    EXPECT_FALSE(inbox.addText(std::string("\xff"), error));
    EXPECT_TRUE(Inbox::stillTheSame(*inbox.find(*fileId)));
    std::ofstream(file) << "v2 longer";
    EXPECT_FALSE(Inbox::stillTheSame(*inbox.find(*fileId)));

    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(inbox.addText("text " + std::to_string(i), error));
    }
    EXPECT_EQ(inbox.items().size(), Inbox::MAX_ITEMS);
    EXPECT_EQ(inbox.items().front().value, "text 5");
    EXPECT_EQ(changes, 26);
    now += Inbox::LIFETIME;
    EXPECT_TRUE(inbox.items().empty());
}

}  // namespace
}  // namespace td::transfer
