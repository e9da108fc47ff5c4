#include "api_fixture.hpp"

#include "server/request.hpp"
#include "support/loopback_client.hpp"

namespace td::test {

void RecordedConnection::sendRaw(std::shared_ptr<const std::string> bytes, bool close,
                                 WriteDone done) {
    {
        std::lock_guard lock(mutex_);
        sent_ += *bytes;
        closed_ = closed_ || close;
    }
    changed_.notify_all();
    if (done) {
        done(true);
    }
}

void RecordedConnection::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

std::string RecordedConnection::answer(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return closed_; });
    return sent_;
}

std::string RecordedConnection::sentAtLeast(std::size_t size, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this, size] { return sent_.size() >= size; });
    return sent_;
}

Answer readAnswer(const std::string& raw) {
    Answer answer;
    answer.raw = raw;
    if (raw.size() > 12) {
        answer.status = std::stoi(raw.substr(9, 3));
    }
    answer.body = Json::parse(bodyOf(raw), nullptr, false);
    return answer;
}

Settings ApiFixture::makeSettings(const std::function<void(Settings&)>& tweak) {
    Settings settings;
    settings.port = 0;
    settings.supportFolder = dir_.path() / "support";
    settings.resourcesFolder = dir_.path();  // public/ is the test's own
    settings.gtkModule = TAPDECK_GTK_MODULE;
    settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};
    settings.plannerKey = [this] { return apiKey; };
    if (tweak) {
        tweak(settings);
    }
    return settings;
}

ApiFixture::ApiFixture(std::function<void(Settings&)> tweak, std::vector<api::Endpoint> extra) {
    std::filesystem::create_directories(dir_.path() / "public");
    app::AgentEvents events;
    events.listening = [this](app::Agent&, std::uint16_t port) { listening_.set_value(port); };
    events.showPanel = [this](app::Agent&) { ++panelsShown_; };
    agent_ = std::make_unique<app::Agent>(makeSettings(tweak), mainThread_, std::move(events));
    if (!extra.empty()) {
        extraRouter_.emplace(agent_->apiContext(), std::move(extra));
    }
    mainLoop_ = std::thread([this] { mainThread_.run(); });
}

ApiFixture::~ApiFixture() {
    agent_->stop();
    mainThread_.quit();
    mainLoop_.join();
}

Answer ApiFixture::call(server::RequestSource source, const std::string& method,
                        const std::string& target, const std::string& body, Headers headers) {
    server::Request request;
    request.method = method;
    server::applyTarget(target, request);
    request.headers = std::move(headers);
    request.body = body;
    request.source = source;
    auto connection = std::make_shared<RecordedConnection>();
    (extraRouter_ ? *extraRouter_ : agent_->router()).route(connection, std::move(request));
    return readAnswer(connection->answer());
}

Answer ApiFixture::local(const std::string& method, const std::string& target,
                         const std::string& body, Headers headers) {
    headers.emplace("host", "127.0.0.1:" + std::to_string(port()));
    return call(server::RequestSource::loopback, method, target, body, std::move(headers));
}

Answer ApiFixture::remote(const std::string& method, const std::string& target,
                          const std::string& body, Headers headers) {
    headers.emplace("host", "192.0.2.1:" + std::to_string(port()));
    return call(server::RequestSource::network, method, target, body, std::move(headers));
}

Answer ApiFixture::withToken(const std::string& method, const std::string& target,
                             const std::string& token, const std::string& body) {
    return remote(method, target, body, {{"x-td-token", token}});
}

std::string ApiFixture::pairedToken() {
    return remote("POST", "/api/pair", pinBody()).body.value("token", "");
}

std::string ApiFixture::pinBody() {
    return R"({"pin":")" + store().pinValue() + "\"}";
}

std::shared_ptr<RecordedConnection> ApiFixture::openEventStream(const std::string& token) {
    auto stream = std::make_shared<RecordedConnection>();
    server::Request request;
    request.method = "GET";
    request.path = "/api/events";
    if (!token.empty()) {
        request.headers["x-td-token"] = token;
    }
    agent_->router().route(stream, std::move(request));
    stream->sentAtLeast(server::SSE_HEAD.size() + 18);
    return stream;
}

std::uint16_t ApiFixture::listen() {
    agent_->start();
    auto port = listening_.get_future();
    if (port.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the agent did not start listening";
        return 0;
    }
    return port.get();
}

}  // namespace td::test
