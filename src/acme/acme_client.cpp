#include "acme/acme_client.hpp"

#include <algorithm>
#include <variant>

#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/log.hpp"

namespace td::acme {
namespace {

using namespace std::chrono_literals;

// A CA rejects a nonce now and then, and must be asked again; ten rejections in a row mean it is
// failing. (Five failed a certification about once in thirty under a CA rejecting 30 %.)
constexpr int NONCE_RETRIES = 10;
constexpr auto POLL_PAUSE = 2s;
constexpr auto MAX_POLL_PAUSE = 60s;
constexpr int MAX_POLLS = 60;
constexpr std::uint64_t MAX_ANSWER_BYTES = 256 * 1024;
constexpr const char* PROBLEM_PREFIX = "urn:ietf:params:acme:error:";

struct Failure {
    std::string error;
    std::optional<std::chrono::seconds> retryAfter;
};

std::optional<std::chrono::seconds> retryAfterOf(const net::HttpResponse& response) {
    const std::string value = response.header("Retry-After");
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;  // an HTTP date counts as no advice; the backoff then rules
    }
    return std::chrono::seconds(std::stoul(value));
}

std::string problemOf(const net::HttpResponse& response, const std::optional<UntrustedJson>& body) {
    if (!response.delivered) {
        return "the CA could not be reached: " + response.error;
    }
    std::string type = body && body->is_object() && (*body)["type"].is_string()
                           ? (*body)["type"].get<std::string>()
                           : "";
    if (type.starts_with(PROBLEM_PREFIX)) {
        type = type.substr(std::string_view(PROBLEM_PREFIX).size());
    }
    std::string detail = body && body->is_object() && (*body)["detail"].is_string()
                             ? (*body)["detail"].get<std::string>()
                             : "";
    if (detail.size() > 300) {
        detail = detail.substr(0, 300) + "…";
    }
    return "the CA answered " + std::to_string(response.status) +
           (type.empty() ? "" : " (" + type + ")") + (detail.empty() ? "" : ": " + detail);
}

std::string stringAt(const UntrustedJson& object, const char* name) {
    return object.is_object() && object.contains(name) && object[name].is_string()
               ? object[name].get<std::string>()
               : std::string();
}

bool isHttps(const std::string& url) {
    return url.starts_with("https://") && url.size() < 2048;
}

// One account's signed exchanges with the CA, each with a fresh nonce.
class Session {
  public:
    Session(EVP_PKEY* key, const AcmeLinks& links) : key_(key), links_(links) {}

    std::optional<Failure> begin(const std::string& directoryUrl) {
        net::HttpRequest request;
        request.url = directoryUrl;
        request.maxAnswerBytes = MAX_ANSWER_BYTES;
        const auto answer = links_.fetch(request);
        const auto directory = answer.delivered ? parseJson(answer.body) : std::nullopt;
        if (answer.status != 200 || !directory || !directory->is_object()) {
            return Failure{"the CA's directory cannot be read: " + problemOf(answer, directory),
                           retryAfterOf(answer)};
        }
        directory_ = *directory;
        for (const char* member : {"newNonce", "newAccount", "newOrder"}) {
            if (!isHttps(stringAt(directory_, member))) {
                return Failure{"the CA's directory has no " + std::string(member), {}};
            }
        }
        return std::nullopt;
    }

    std::string url(const char* member) const { return stringAt(directory_, member); }

    struct Answer {
        net::HttpResponse response;
        UntrustedJson body;
    };
    // A signed POST (`payload` "" asks by POST-as-GET); badNonce is tried again.
    std::variant<Answer, Failure> post(const std::string& url, const std::string& payload) {
        for (int attempt = 0;; ++attempt) {
            if (nonce_.empty() && !freshNonce()) {
                return Failure{"the CA gives no nonce", {}};
            }
            net::HttpRequest request;
            request.method = "POST";
            request.url = url;
            request.headers = {{"Content-Type", "application/jose+json"}};
            request.body = signedRequest(key_, kid_, std::exchange(nonce_, {}), url, payload);
            request.maxAnswerBytes = MAX_ANSWER_BYTES;
            auto response = links_.fetch(request);
            nonce_ = response.header("Replay-Nonce");
            const bool isJson = response.contentType.find("json") != std::string::npos;
            auto body = isJson ? parseJson(response.body) : std::nullopt;
            if (response.delivered && response.status >= 200 && response.status < 300) {
                return Answer{std::move(response), body ? std::move(*body) : UntrustedJson()};
            }
            const bool badNonce =
                body && stringAt(*body, "type") == std::string(PROBLEM_PREFIX) + "badNonce";
            if (!badNonce || attempt + 1 >= NONCE_RETRIES) {
                return Failure{problemOf(response, body), retryAfterOf(response)};
            }
        }
    }

    void setAccount(std::string kid) { kid_ = std::move(kid); }

  private:
    bool freshNonce() {
        net::HttpRequest request;
        request.url = url("newNonce");  // GET: 204 with the nonce, and no body to skip
        request.maxAnswerBytes = MAX_ANSWER_BYTES;
        nonce_ = links_.fetch(request).header("Replay-Nonce");
        return !nonce_.empty();
    }

    EVP_PKEY* const key_;
    const AcmeLinks& links_;
    UntrustedJson directory_;
    std::string kid_;
    std::string nonce_;
};

// Polls `url` until its status leaves `waiting`; the object, or why not.
std::variant<UntrustedJson, Failure> pollUntilSettled(Session& session, const std::string& url,
                                                      std::initializer_list<const char*> waiting,
                                                      const AcmeLinks& links) {
    for (int poll = 0; poll < MAX_POLLS; ++poll) {
        auto answer = session.post(url, "");
        if (auto* failure = std::get_if<Failure>(&answer)) {
            return *failure;
        }
        auto& [response, body] = std::get<Session::Answer>(answer);
        const std::string status = stringAt(body, "status");
        if (std::find(waiting.begin(), waiting.end(), status) == waiting.end()) {
            return body;
        }
        const auto advised = retryAfterOf(response);
        const auto pause = std::clamp<std::chrono::milliseconds>(
            advised ? std::chrono::milliseconds(*advised) : POLL_PAUSE, 1s, MAX_POLL_PAUSE);
        if (!links.wait(pause)) {
            return Failure{"stopped", {}};
        }
    }
    return Failure{"the CA took too long", {}};
}

std::string challengeError(const UntrustedJson& authorization) {
    if (authorization.is_object() && authorization.contains("challenges") &&
        authorization["challenges"].is_array()) {
        for (const auto& challenge : authorization["challenges"]) {
            if (challenge.is_object() && challenge.contains("error")) {
                const std::string detail = stringAt(challenge["error"], "detail");
                if (!detail.empty()) {
                    return detail.substr(0, 300);
                }
            }
        }
    }
    return "no reason given";
}

// Answers one authorization's tls-alpn-01 challenge and waits for the CA's verdict.
std::optional<Failure> authorize(Session& session, const std::string& url, const std::string& name,
                                 EVP_PKEY* accountKey, const AcmeLinks& links) {
    auto answer = session.post(url, "");
    if (auto* failure = std::get_if<Failure>(&answer)) {
        return *failure;
    }
    const UntrustedJson authorization = std::get<Session::Answer>(answer).body;
    if (stringAt(authorization, "status") == "valid") {
        return std::nullopt;
    }
    const UntrustedJson* chosen = nullptr;
    if (authorization.is_object() && authorization.contains("challenges") &&
        authorization["challenges"].is_array()) {
        for (const auto& challenge : authorization["challenges"]) {
            if (stringAt(challenge, "type") == "tls-alpn-01") {
                chosen = &challenge;
            }
        }
    }
    const std::string token = chosen ? stringAt(*chosen, "token") : "";
    const std::string challengeUrl = chosen ? stringAt(*chosen, "url") : "";
    if (token.empty() || token.size() > 256 || !base64UrlDecode(token) || !isHttps(challengeUrl)) {
        return Failure{"the CA offers no tls-alpn-01 challenge for " + name, {}};
    }
    auto proof = challengeAnswer(name, token + "." + thumbprint(accountKey));
    if (!proof) {
        return Failure{"the challenge's certificate could not be made", {}};
    }
    links.answer(name, std::move(proof));
    std::optional<Failure> failure;
    auto accepted = session.post(challengeUrl, "{}");
    if (auto* refused = std::get_if<Failure>(&accepted)) {
        failure = *refused;
    } else {
        auto settled = pollUntilSettled(session, url, {"pending"}, links);
        if (auto* notSettled = std::get_if<Failure>(&settled)) {
            failure = *notSettled;
        } else if (const UntrustedJson& done = std::get<UntrustedJson>(settled);
                   stringAt(done, "status") != "valid") {
            failure = Failure{"the CA could not verify " + name + ": " + challengeError(done), {}};
        }
    }
    links.answer(name, std::nullopt);
    return failure;
}

}  // namespace

AcmeOutcome obtainCertificate(const std::string& directoryUrl, EVP_PKEY* accountKey,
                              EVP_PKEY* certificateKey, const std::string& name,
                              const AcmeLinks& links) {
    const auto failed = [](const Failure& failure) {
        TD_LOG(relay, "no certificate: " + failure.error);
        return AcmeOutcome{{}, failure.error, failure.retryAfter};
    };
    Session session(accountKey, links);
    if (auto failure = session.begin(directoryUrl)) {
        return failed(*failure);
    }
    auto account = session.post(session.url("newAccount"), R"({"termsOfServiceAgreed":true})");
    if (auto* failure = std::get_if<Failure>(&account)) {
        return failed(*failure);
    }
    const std::string kid = std::get<Session::Answer>(account).response.header("Location");
    if (!isHttps(kid)) {
        return failed({"the CA named no account", {}});
    }
    session.setAccount(kid);

    const Json identifiers = {{"identifiers", {{{"type", "dns"}, {"value", name}}}}};
    auto order = session.post(session.url("newOrder"), dumpCompact(identifiers));
    if (auto* failure = std::get_if<Failure>(&order)) {
        return failed(*failure);
    }
    const std::string orderUrl = std::get<Session::Answer>(order).response.header("Location");
    const UntrustedJson orderBody = std::get<Session::Answer>(order).body;
    const std::string finalizeUrl = stringAt(orderBody, "finalize");
    if (!isHttps(orderUrl) || !isHttps(finalizeUrl) || !orderBody.contains("authorizations") ||
        !orderBody["authorizations"].is_array() || orderBody["authorizations"].size() != 1 ||
        !orderBody["authorizations"][0].is_string()) {
        return failed({"the CA's order cannot be read", {}});
    }
    const std::string authorizationUrl = orderBody["authorizations"][0].get<std::string>();
    if (!isHttps(authorizationUrl)) {
        return failed({"the CA's order cannot be read", {}});
    }
    if (auto failure = authorize(session, authorizationUrl, name, accountKey, links)) {
        return failed(*failure);
    }
    const auto request = certificateRequest(certificateKey, name);
    if (!request) {
        return failed({"the certificate request could not be made", {}});
    }
    auto finalized =
        session.post(finalizeUrl, dumpCompact(Json{{"csr", base64UrlEncode(*request)}}));
    if (auto* failure = std::get_if<Failure>(&finalized)) {
        return failed(*failure);
    }
    auto settled = pollUntilSettled(session, orderUrl, {"pending", "ready", "processing"}, links);
    if (auto* failure = std::get_if<Failure>(&settled)) {
        return failed(*failure);
    }
    const std::string certificateUrl = stringAt(std::get<UntrustedJson>(settled), "certificate");
    if (stringAt(std::get<UntrustedJson>(settled), "status") != "valid" ||
        !isHttps(certificateUrl)) {
        return failed({"the CA did not issue the certificate", {}});
    }
    auto chain = session.post(certificateUrl, "");
    if (auto* failure = std::get_if<Failure>(&chain)) {
        return failed(*failure);
    }
    std::string pem = std::get<Session::Answer>(chain).response.body;
    if (!certificateLifetime(pem, name)) {
        return failed({"the CA's certificate does not name " + name, {}});
    }
    return AcmeOutcome{std::move(pem), {}, {}};
}

}  // namespace td::acme
