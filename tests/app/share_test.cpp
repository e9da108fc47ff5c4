// Files, links and texts between a phone and the real agent binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <thread>

#include "app/send_command.hpp"
#include "common/json.hpp"
#include "support/agent_process.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using td::test::AgentProcess;
using td::test::LoopbackClient;

std::string form(const std::vector<std::pair<std::string, std::string>>& files,
                 const std::string& text = {}) {
    std::string body;
    if (!text.empty()) {
        body += "--B\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n" + text + "\r\n";
    }
    for (const auto& [name, bytes] : files) {
        body += "--B\r\nContent-Disposition: form-data; name=\"files\"; filename=\"" + name +
                "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n";
    }
    return body + "--B--\r\n";
}

std::string shareHead(const std::string& token, std::uint64_t length) {
    return "POST /api/share HTTP/1.1\r\nX-TD-Token: " + token +
           "\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
           std::to_string(length) + "\r\n\r\n";
}

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ShareTest : public ::testing::Test {
  protected:
    td::test::TempDir support_, downloads_;
    AgentProcess agent_{
        support_.path(), {"--headless"}, {"TD_DOWNLOADS=" + downloads_.path().string()}};
    std::uint16_t port_ = agent_.port();
    std::string phone_ = agent_.pairPhone();

    std::string share(const std::string& body, const std::string& token) {
        return td::test::exchangeRemote(port_, shareHead(token, body.size()) + body);
    }
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(downloads_.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ShareTest, FilesLandWholeUnderCleanUniqueNamesAndNothingIsLeftOfOneThatStops) {
    ASSERT_FALSE(phone_.empty()) << agent_.output();
    std::mt19937 random(3);
    std::string photo(3 * 1024 * 1024, '\0');
    for (char& byte : photo) {
        byte = static_cast<char>(random());
    }
    // Two phones' files of one name at once, with names meant to escape or to hide.
    const std::string other = agent_.pairPhone("127.0.0.3");
    std::string first, second;
    std::thread sharing([&] { first = share(form({{"photo.jpg", photo}}), phone_); });
    second = share(form({{"photo.jpg", "small"},
                         {"../../.profile", "x"},
                         {std::string(10000, 'n') + ".txt", "long"}}),
                   other);
    sharing.join();
    EXPECT_NE(first.find(R"("ok":true)"), std::string::npos) << first;
    EXPECT_NE(second.find(R"("ok":true)"), std::string::npos) << second;
    const auto names = files();
    ASSERT_EQ(names.size(), 4u) << second;
    EXPECT_EQ(names[1], "photo (2).jpg");
    EXPECT_EQ(names[2], "photo.jpg");
    EXPECT_EQ(names[3], "profile");
    EXPECT_LE(names[0].size(), 255u);
    const std::string big =
        contentOf(downloads_.path() / "photo.jpg") == photo ? "photo.jpg" : "photo (2).jpg";
    EXPECT_TRUE(contentOf(downloads_.path() / big) == photo) << "byte for byte";

    // Half a file, then the phone is gone: its .part goes, and nothing else changes.
    LoopbackClient leaving = LoopbackClient::from("127.0.0.2", port_);
    const std::string body = form({{"half.bin", std::string(4 << 20, 'h')}});
    leaving.send(shareHead(phone_, body.size()) + body.substr(0, body.size() / 2));
    ASSERT_TRUE(td::test::eventually([&] { return files().size() == 5; }));
    leaving.abort();
    EXPECT_TRUE(td::test::eventually([&] { return files() == names; }));

    // Refused from the head alone: a stranger, and more than the computer takes at once.
    LoopbackClient stranger = LoopbackClient::from("127.0.0.2", port_);
    stranger.send(shareHead("0000", 1 << 20));
    EXPECT_TRUE(stranger.readAll().starts_with("HTTP/1.1 401"));
    LoopbackClient huge = LoopbackClient::from("127.0.0.2", port_);
    huge.send(shareHead(phone_, 2ull << 30));
    EXPECT_NE(huge.readAll().find("Larger than the 1024 MiB"), std::string::npos);
    EXPECT_NE(share("not a form", phone_).find("400"), std::string::npos);

    // The limit is on the files: past it a form stops there, and what came whole stays.
    const std::string config = R"({"pages":[],"settings":{"maxUploadMiB":1}})";
    td::test::exchange(port_, "POST /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                  std::to_string(config.size()) + "\r\n\r\n" + config);
    const std::string over = share(form({{"first.bin", std::string(600 << 10, 'f')},
                                         {"second.bin", std::string(600 << 10, 's')}}),
                                   phone_);
    EXPECT_TRUE(over.starts_with("HTTP/1.1 413")) << over;
    EXPECT_NE(over.find(R"("saved":["first.bin"])"), std::string::npos) << over;
    EXPECT_EQ(files().size(), names.size() + 1) << "no second.bin, nor its .part";
}

// Holds an upload under way: its head and a first piece, its .part there.
LoopbackClient holdUpload(std::uint16_t port, const std::string& token, const char* from) {
    LoopbackClient client = LoopbackClient::from(from, port);
    const std::string body = form({{"held.bin", std::string(1 << 20, 'h')}});
    client.send(shareHead(token, body.size()) + body.substr(0, 1000));
    return client;
}

TEST_F(ShareTest, NoPhoneTakesEveryUploadTurnAndNoUploadHoldsTheAgentsEnd) {
    ASSERT_FALSE(phone_.empty()) << agent_.output();
    // A second token minted by the same phone shares its turns.
    const std::string connect = td::test::exchangeRemote(
        port_, "POST /api/connect HTTP/1.1\r\nX-TD-Token: " + phone_ + "\r\n\r\n");
    const auto code = connect.find("pair=");
    ASSERT_NE(code, std::string::npos) << connect;
    const std::string pairing = R"({"code":")" + connect.substr(code + 5, 16) + "\"}";
    const auto minted =
        td::Json::parse(td::test::bodyOf(td::test::exchangeRemote(
                            port_, "POST /api/pair-code HTTP/1.1\r\nContent-Length: " +
                                       std::to_string(pairing.size()) + "\r\n\r\n" + pairing)),
                        nullptr, false);
    ASSERT_TRUE(minted.contains("token")) << minted;
    const std::string second = minted["token"];
    std::vector<LoopbackClient> held;
    held.push_back(holdUpload(port_, phone_, "127.0.0.2"));
    held.push_back(holdUpload(port_, second, "127.0.0.4"));
    ASSERT_TRUE(td::test::eventually([&] { return files().size() == 2; }));
    EXPECT_TRUE(share(form({{"third.bin", "x"}}), second).starts_with("HTTP/1.1 503"));
    const std::string other = agent_.pairPhone("127.0.0.3");
    EXPECT_NE(share(form({{"other.bin", "x"}}), other).find(R"("ok":true)"), std::string::npos);

    // Stopping ends the uploads under way, and leaves none of their .part files.
    EXPECT_EQ(agent_.stopWith(SIGTERM), 0) << agent_.output();
    EXPECT_EQ(files(), std::vector<std::string>{"other.bin"});
}

TEST_F(ShareTest, WhatTheComputerOffersReachesThePhoneUntilItChanges) {
    ASSERT_FALSE(phone_.empty()) << agent_.output();
    LoopbackClient events = LoopbackClient::from("127.0.0.2", port_);
    events.send("GET /api/events HTTP/1.1\r\nX-TD-Token: " + phone_ + "\r\n\r\n");
    std::string stream;
    ASSERT_TRUE(events.readUntil(stream, ": connected"));

    const auto file = downloads_.path() / "report.pdf";
    std::ofstream(file) << "%PDF offered";
    const std::string offer = R"({"items":[{"path":")" + file.string() +
                              R"("},{"url":"https://example.org/"},{"text":"hello"}]})";
    const std::string post = "POST /api/inbox HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                             std::to_string(offer.size()) + "\r\n\r\n" + offer;
    const auto answer =
        td::Json::parse(td::test::bodyOf(td::test::exchange(port_, post)), nullptr, false);
    ASSERT_TRUE(answer.contains("ids") && answer["ids"].size() == 3u) << answer;
    EXPECT_TRUE(events.readUntil(stream, R"("name":"hello")")) << "told on the event stream";
    const auto fetch = [&](const std::string& id) {
        return td::test::exchangeRemote(
            port_, "GET /api/inbox/" + id + " HTTP/1.1\r\nX-TD-Token: " + phone_ + "\r\n\r\n");
    };
    const std::string served = fetch(answer["ids"][0]);
    EXPECT_EQ(td::test::bodyOf(served), "%PDF offered");
    EXPECT_NE(served.find("attachment; filename=\"report.pdf\""), std::string::npos);
    EXPECT_EQ(td::test::bodyOf(fetch(answer["ids"][2])), "hello");
    std::ofstream(file) << "%PDF changed since";
    EXPECT_TRUE(fetch(answer["ids"][0]).starts_with("HTTP/1.1 409"));
    // Nor a FIFO put in its place, which would hold a worker until written to.
    std::filesystem::remove(file);
    ::mkfifo(file.c_str(), 0600);
    EXPECT_TRUE(fetch(answer["ids"][0]).starts_with("HTTP/1.1 409"));
    EXPECT_TRUE(fetch("nothing").starts_with("HTTP/1.1 404"));
    // A phone neither offers nor reads without its token.
    EXPECT_TRUE(
        td::test::exchangeRemote(port_, "POST /api/inbox HTTP/1.1\r\nX-TD-Token: " + phone_ +
                                            "\r\nContent-Length: " + std::to_string(offer.size()) +
                                            "\r\n\r\n" + offer)
            .starts_with("HTTP/1.1 403"));
    EXPECT_TRUE(td::test::exchangeRemote(port_, "GET /api/inbox HTTP/1.1\r\n\r\n")
                    .starts_with("HTTP/1.1 401"));
}

TEST_F(ShareTest, TheSendCommandOffersFilesLinksAndTextsAndSaysWhyNot) {
    ASSERT_FALSE(phone_.empty()) << agent_.output();
    const auto file = downloads_.path() / "notes.txt";
    std::ofstream(file) << "notes";
    std::string error;
    const auto body = td::app::sendCommandBody(
        {file.string(), "https://example.org/a", "plain words", "-"}, "piped", error);
    ASSERT_TRUE(body) << error;
    EXPECT_EQ(*body, R"({"items":[{"path":")" + file.string() +
                         R"("},{"url":"https://example.org/a"},{"text":"plain words"},)"
                         R"({"text":"piped"}]})");
    EXPECT_FALSE(td::app::sendCommandBody({downloads_.path().string()}, "", error));
    EXPECT_NE(error.find("not a file"), std::string::npos);
    EXPECT_FALSE(td::app::sendCommandBody({"./missing.pdf"}, "", error));
    EXPECT_EQ(td::app::runSendCommand({file.string(), "hello"}, port_), 0);
    const std::string listed = td::test::exchangeRemote(
        port_, "GET /api/inbox HTTP/1.1\r\nX-TD-Token: " + phone_ + "\r\n\r\n");
    EXPECT_NE(listed.find(R"("name":"notes.txt")"), std::string::npos) << listed;
    EXPECT_EQ(td::app::runSendCommand({"--choose"}, port_), 1) << "headless: no file chooser";
}

}  // namespace
