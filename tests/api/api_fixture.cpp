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
    settings.resourcesFolder = dir_.path() / "resources";
    settings.gtkModule = TAPDECK_GTK_MODULE;
    settings.plannerKey = [this] { return apiKey; };
    if (tweak) {
        tweak(settings);
    }
    return settings;
}

ApiFixture::ApiFixture(std::function<void(Settings&)> tweak, std::vector<api::Endpoint> extra)
    : settings_(makeSettings(tweak)),
      store_(store::Store::Options{settings_.supportFolder.string(), settings_.resourcesFolder}),
      icons_(settings_.gtkModule),
      server_([this] {
          server::ServerOptions options;
          options.port = 0;
          options.publicDir = dir_.path() / "public";
          options.bodyLimit = [this](const std::string& method, const std::string& path) {
              return router_.bodyLimit(method, path);
          };
          return options;
      }()),
      input_(host::chooseInput({settings_.session, settings_.supportFolder})),
      context_{settings_, server_,          store_,          https_,
               icons_,    *input_.keyboard, *input_.pointer, [this] { ++panelsShown_; }},
      router_(context_, std::move(extra)) {
    std::filesystem::create_directories(dir_.path() / "public");
    server_.setRouter([this](const server::ConnectionPtr& connection, server::Request request) {
        router_.route(connection, std::move(request));
    });
}

ApiFixture::~ApiFixture() {
    context_.plans->stop();
    server_.stop();
    https_.stop();
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
    router_.route(connection, std::move(request));
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

std::string ApiFixture::pinBody() const {
    return R"({"pin":")" + store_.pinValue() + "\"}";
}

std::shared_ptr<RecordedConnection> ApiFixture::openEventStream() {
    auto stream = std::make_shared<RecordedConnection>();
    server::Request request;
    request.method = "GET";
    request.path = "/api/events";
    router_.route(stream, std::move(request));
    stream->sentAtLeast(server::SSE_HEAD.size() + 18);
    return stream;
}

std::uint16_t ApiFixture::listen() {
    server_.start();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (server_.listeningPort() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_NE(server_.listeningPort(), 0) << "the server did not start listening";
    return server_.listeningPort();
}

}  // namespace td::test
