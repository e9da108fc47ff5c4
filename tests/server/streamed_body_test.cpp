#include "server/streamed_body.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "harness.hpp"
#include "support/loopback_client.hpp"

namespace td::server {
namespace {

using namespace std::chrono_literals;
using test::eventually;

std::string randomBytes(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// Bodies to /upload stream: their bytes are read on a worker and told back; /hold keeps the
// first piece's room taken until the test resumes it; /file sends `file`, claiming `extra`
// bytes more than it has.
class StreamedBodyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        running_ = std::make_unique<test::RunningServer>([](ServerOptions& options) {
            options.bodyLimit = [](const std::string&, const std::string& path) {
                return path == "/small" ? std::size_t(100) : STREAMED_BODY;
            };
        });
        Server* server = &running_->server();
        running_->start([this, server](const ConnectionPtr& connection, Request request) {
            if (request.path == "/upload") {
                server->runOnWorkPool([connection] {
                    const auto body = StreamedBody::read(connection);
                    std::string all;
                    while (const auto piece = body->next()) {
                        all += *piece;
                    }
                    connection->json({{"whole", body->whole()}, {"same", all == sent()}});
                });
            } else if (request.path == "/hold") {
                held_.set_value(connection);
                BodySink sink;
                sink.onPiece = [this](std::string_view piece) {
                    heldBytes_ += piece.size();
                    return Taken::waitForRoom;
                };
                sink.onEnd = [this](bool whole) { heldEnd_ = whole ? 1 : 0; };
                connection->readBody(std::move(sink));
            } else if (request.path == "/file") {
                const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
                const auto size = std::filesystem::file_size(file_) + extra_;
                connection->sendFile(serializeHead({200, "application/octet-stream", {}, {}}, size),
                                     fd, size);
            } else {
                connection->json({{"size", request.body.size()}});
            }
        });
    }

    static std::string& sent() {
        static std::string bytes = randomBytes(12 * 1024 * 1024);
        return bytes;
    }
    std::string head(const std::string& path, std::size_t length, bool expectContinue = false) {
        return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(length) +
               (expectContinue ? "\r\nExpect: 100-continue" : "") + "\r\n\r\n";
    }
    std::uint16_t port() const { return running_->port(); }

    std::unique_ptr<test::RunningServer> running_;
    std::promise<ConnectionPtr> held_;
    std::atomic<std::size_t> heldBytes_{0};
    std::atomic<int> heldEnd_{-1};
    test::TempDir folder_;
    std::filesystem::path file_ = folder_.path() / "offered.bin";
    std::uint64_t extra_ = 0;
};

TEST_F(StreamedBodyTest, ABodyLargerThanAnyHeldOneArrivesWholeAfterContinueAndInOrder) {
    test::LoopbackClient client(port());
    client.send(head("/upload", sent().size(), true));
    std::string interim;
    ASSERT_TRUE(client.readUntil(interim, "\r\n\r\n"));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    std::thread sending([&] {
        // In uneven pieces, as a network cuts them.
        for (std::size_t at = 0, step = 1; at < sent().size();
             at += step, step = step * 7 % 300'000 + 1) {
            client.send(std::string_view(sent()).substr(at, step));
        }
    });
    const std::string answer = client.readAll(30s);
    sending.join();
    EXPECT_EQ(test::bodyOf(answer), R"({"whole":true,"same":true})");
    // Small bodies are still bounded as before.
    EXPECT_NE(test::exchange(port(), head("/small", 101) + std::string(101, 'x')).find(" 413 "),
              std::string::npos);
}

TEST_F(StreamedBodyTest, ABodyWithoutRoomIsNotReadUntilResumedAndOneCutShortEndsSo) {
    test::LoopbackClient client(port());
    const std::size_t size = 8 * 1024 * 1024;
    client.send(head("/hold", size));
    std::thread sending([&] { client.send(std::string(size, 'b')); });
    const ConnectionPtr connection = held_.get_future().get();
    ASSERT_TRUE(eventually([&] { return heldBytes_ > 0; }));
    const std::size_t first = heldBytes_;
    std::this_thread::sleep_for(200ms);  // a bounded look for reads that must not happen
    EXPECT_EQ(heldBytes_, first) << "read on without room";
    while (heldEnd_ < 0 && heldBytes_ < size) {
        const std::size_t before = heldBytes_;
        connection->resumeReading();
        ASSERT_TRUE(eventually([&] { return heldBytes_ > before || heldEnd_ >= 0; }));
    }
    sending.join();
    EXPECT_TRUE(eventually([&] { return heldEnd_ == 1; }));
    EXPECT_EQ(heldBytes_, size);

    // A peer that goes half-way: the body ends, not whole.
    held_ = {};
    heldBytes_ = 0;
    heldEnd_ = -1;
    test::LoopbackClient leaving(port());
    leaving.send(head("/hold", size) + std::string(1000, 'b'));
    const ConnectionPtr second = held_.get_future().get();
    leaving.abort();
    second->resumeReading();
    EXPECT_TRUE(eventually([&] { return heldEnd_ == 0; }));
}

TEST_F(StreamedBodyTest, AFileGoesOutAsItIsAndOneShorterThanSaidEndsTheConnectionShort) {
    const std::string bytes = randomBytes(9 * 1024 * 1024);
    std::ofstream(file_, std::ios::binary) << bytes;
    const std::string answer = test::exchange(port(), "GET /file HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::headerValue(answer, "Content-Length"), std::to_string(bytes.size()));
    EXPECT_TRUE(test::bodyOf(answer) == bytes);
    extra_ = 1000;
    const std::string cut = test::exchange(port(), "GET /file HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::bodyOf(cut).size(), bytes.size()) << "never padded to what was claimed";
}

}  // namespace
}  // namespace td::server
