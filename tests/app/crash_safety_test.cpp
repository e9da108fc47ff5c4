// Kills the real agent at random moments while it saves, and checks what the next start finds.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/json.hpp"
#include "support/agent_process.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Starts the agent on `support`; the port it listens on, or 0.
std::uint16_t start(std::unique_ptr<td::test::AgentProcess>& agent,
                    const td::test::TempDir& support) {
    agent = std::make_unique<td::test::AgentProcess>(support.path());
    return agent->port();
}

// The body of an answer that arrived whole with status 200 and "ok":true, or nothing.
std::optional<td::Json> okAnswer(std::uint16_t port, const std::string& method,
                                 const std::string& path, const std::string& body,
                                 const std::string& token = "") {
    const std::string answer = td::test::exchange(
        port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nConnection: close\r\n" +
                  (token.empty() ? "" : "x-td-token: " + token + "\r\n") +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    const std::string content = td::test::bodyOf(answer);
    auto json = td::parseJson(content);
    if (!answer.starts_with("HTTP/1.1 200 ") || !json || !json->is_object() ||
        td::test::headerValue(answer, "Content-Length") != std::to_string(content.size()) ||
        json->value("ok", td::Json(false)) != true) {
        return std::nullopt;
    }
    return json;
}

// A whole configuration of a few KB, told apart by the name of its first page.
std::string configNamed(const std::string& name) {
    td::Json tiles = td::Json::array();
    for (int i = 0; i < 40; ++i) {
        tiles.push_back({{"type", "text"},
                         {"mode", "type"},
                         {"value", name + ", snippet " + std::to_string(i)},
                         {"label", "Snippet " + std::to_string(i)}});
    }
    const td::Json config = {
        {"pages",
         td::Json::array({{{"name", name}, {"icon", "A"}, {"tiles", tiles}},
                          {{"name", "Flows"}, {"icon", "F"}, {"tiles", td::Json::array()}}})},
        {"settings", {{"columns", 4}, {"iconScale", 1.0}, {"labels", true}}}};
    return td::dumpCompact(config);
}

// The object in a file, or null when the file is missing or holds anything else.
td::Json readObject(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    auto parsed = td::parseOrderedJson(std::string(std::istreambuf_iterator<char>(in), {}));
    return parsed && parsed->is_object() ? *parsed : td::Json();
}

std::string stringAt(const td::Json& object, const char* key) {
    return object.is_object() && object.contains(key) && object[key].is_string()
               ? object[key].get<std::string>()
               : std::string();
}

// What one run sent, in order, and how many of the answers came back whole before the kill.
struct Sent {
    std::vector<std::string> pins;
    std::size_t pinsAnswered = 0;
    std::vector<std::string> tokens;
    std::vector<std::string> saves;
    std::size_t savesAnswered = 0;
};

TEST(CrashSafety, WhatWasAnsweredSurvivesAKillAtAnyMoment) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    td::test::TempDir support;
    std::unique_ptr<td::test::AgentProcess> agent;
    std::uint16_t port = start(agent, support);
    ASSERT_NE(port, 0) << agent->output();
    const td::Json first = readObject(support.path() / "state.json");
    const std::string relayId = stringAt(first, "relayId");
    std::string pin = stringAt(first, "pin");
    std::string page = "Apps";  // the shipped configuration's first page
    std::set<std::string> tokens;
    int counter = 0;

    const auto deadline = Clock::now() + 15s;
    for (int kill = 1; kill <= 15 && Clock::now() < deadline; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        Sent sent;
        std::atomic<bool> stop = false;
        std::vector<std::thread> clients;
        clients.emplace_back([&, next = counter]() mutable {
            while (!stop) {
                sent.pins.push_back(std::to_string(100000 + next++));
                const std::string body = R"({"pin":")" + sent.pins.back() + "\"}";
                if (!okAnswer(port, "POST", "/api/set-pin", body)) {
                    return;
                }
                sent.pinsAnswered = sent.pins.size();
                for (int i = 0; i < 2; ++i) {
                    const auto paired = okAnswer(port, "POST", "/api/pair", body);
                    if (!paired) {
                        return;
                    }
                    sent.tokens.push_back(stringAt(*paired, "token"));
                }
            }
        });
        clients.emplace_back([&, next = counter]() mutable {
            while (!stop) {
                sent.saves.push_back("Saved " + std::to_string(next++));
                if (!okAnswer(port, "POST", "/api/config", configNamed(sent.saves.back()))) {
                    return;
                }
                sent.savesAnswered = sent.saves.size();
            }
        });
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(3, 300)(random)));
        const int status = agent->stopWith(SIGKILL);
        stop = true;
        for (auto& client : clients) {
            client.join();
        }
        ASSERT_EQ(status, 128 + SIGKILL);
        counter += 10000;

        // Both files are whole documents of the expected shape.
        const td::Json state = readObject(support.path() / "state.json");
        const td::Json config = readObject(support.path() / "config.json");
        ASSERT_TRUE(state.is_object() && config.is_object());
        EXPECT_EQ(stringAt(state, "relayId"), relayId);
        ASSERT_TRUE(state.contains("tokens") && state["tokens"].is_array());
        std::set<std::string> stored;
        for (const auto& token : state["tokens"]) {
            ASSERT_TRUE(token.is_string()) << state;
            stored.insert(token.get<std::string>());
        }
        ASSERT_TRUE(config.contains("pages") && config["pages"].is_array() &&
                    !config["pages"].empty());

        // The PIN is the last one answered, or the one sent after it.
        const std::string storedPin = stringAt(state, "pin");
        if (sent.pinsAnswered > 0) {
            pin = sent.pins[sent.pinsAnswered - 1];
        }
        EXPECT_TRUE(storedPin == pin || (sent.pins.size() > sent.pinsAnswered &&
                                         storedPin == sent.pins[sent.pinsAnswered]))
            << storedPin << " after " << sent.pinsAnswered << " answered of " << sent.pins.size();
        pin = storedPin;

        // The configuration is the last one answered, or the one sent after it.
        const std::string storedPage = stringAt(config["pages"][0], "name");
        if (sent.savesAnswered > 0) {
            page = sent.saves[sent.savesAnswered - 1];
        }
        EXPECT_TRUE(storedPage == page || (sent.saves.size() > sent.savesAnswered &&
                                           storedPage == sent.saves[sent.savesAnswered]))
            << storedPage;
        page = storedPage;

        // Every token answered before the kill is stored, and works after a restart.
        tokens.insert(sent.tokens.begin(), sent.tokens.end());
        for (const auto& token : tokens) {
            EXPECT_TRUE(stored.count(token)) << token;
        }
        port = start(agent, support);
        ASSERT_NE(port, 0) << agent->output();
        for (const auto& entry : std::filesystem::directory_iterator(support.path())) {
            EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
                << "a cut-short write left behind";
        }
        for (const auto& token : sent.tokens) {
            const td::Json answer =
                okAnswer(port, "GET", "/api/config", "", token).value_or(td::Json());
            ASSERT_TRUE(answer.is_object()) << token;
            EXPECT_EQ(answer.value("/config/pages/0/name"_json_pointer, ""), page);
        }
    }
}

}  // namespace
