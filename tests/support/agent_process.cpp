#include "support/agent_process.hpp"

#include <regex>

#include "support/loopback_client.hpp"

namespace td::test {
namespace {

std::vector<std::string> withBinary(std::vector<std::string> args) {
    args.insert(args.begin(), TAPDECK_BINARY);
    return args;
}

std::vector<std::string> agentEnvironment(const std::filesystem::path& support,
                                          std::vector<std::string> env) {
    env.insert(env.end(), {"TD_PORT=0", "TD_SUPPORT=" + support.string(),
                           "TD_UPDATE_URL=http://127.0.0.1:1/latest.json"});
    return env;
}

}  // namespace

AgentProcess::AgentProcess(const std::filesystem::path& support, std::vector<std::string> args,
                           std::vector<std::string> env)
    : ChildProcess(withBinary(std::move(args)), agentEnvironment(support, std::move(env))) {}

std::uint16_t AgentProcess::port() {
    const auto listening = waitForLine(std::regex("Listening on port (\\d+)"));
    return listening ? static_cast<std::uint16_t>(std::stoi((*listening)[1])) : 0;
}

std::string AgentProcess::pin() {
    const auto banner = waitForLine(std::regex("Pair a phone: PIN (\\d{6})"));
    return banner ? std::string((*banner)[1]) : "";
}

std::string AgentProcess::pairPhone(const char* address) {
    const std::string body = R"({"pin":")" + pin() + "\"}";
    LoopbackClient client = LoopbackClient::from(address, port());
    client.send("POST /api/pair HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body);
    std::smatch token;
    const std::string answer = client.readAll(5s);
    return std::regex_search(answer, token, std::regex("\"token\":\"(\\w+)\"")) ? token[1].str()
                                                                                : "";
}

}  // namespace td::test
