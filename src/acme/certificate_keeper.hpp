#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "acme/acme_client.hpp"
#include "common/json.hpp"

namespace td::acme {

// Keeps this computer a certificate for one name, in a folder of its own (account.pem,
// key.pem, cert.pem, all 0600): obtained once and kept across restarts, renewed at two thirds
// of its lifetime, failures tried again from 1 minute to a day apart (longer when the CA says
// so). On a thread of its own; every method may be called from any thread.
class CertificateKeeper {
  public:
    static constexpr std::chrono::minutes FIRST_BACKOFF{1};
    static constexpr std::chrono::hours LAST_BACKOFF{24};

    struct Options {
        std::filesystem::path folder;
        std::string directoryUrl;
        // One HTTPS exchange, waited for.
        std::function<net::HttpResponse(net::HttpRequest)> fetch;
        // Where tls-alpn-01 is answered (see AcmeLinks::answer).
        std::function<void(const std::string& name, std::optional<ChallengeAnswer>)> answer;
        // Told each time the certificate files were replaced.
        std::function<void()> renewed;
    };

    explicit CertificateKeeper(Options options);
    ~CertificateKeeper();  // stops, cutting any wait short
    CertificateKeeper(const CertificateKeeper&) = delete;
    CertificateKeeper& operator=(const CertificateKeeper&) = delete;

    // From now on, a certificate for `name`; empty: none is sought (what is held stays).
    void keep(const std::string& name);

    // For the admin page: {"name","state":"idle|obtaining|held|failed","notAfter","error",
    // "nextTry"} (times in seconds since the epoch).
    Json status() const;

  private:
    void run();
    // How long the certificate held for `name` may go on before renewal; nothing: get one.
    std::optional<std::chrono::system_clock::duration> timeToRenewal(const std::string& name);
    void obtain(const std::string& name);
    // Waits `pause`, or until told to stop or given another name; false when stopping.
    bool wait(std::chrono::milliseconds pause, const std::string& name);

    const Options options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string name_;
    bool stopping_ = false;
    std::string state_ = "idle";
    std::string error_;
    std::optional<std::chrono::system_clock::time_point> notAfter_;
    std::optional<std::chrono::system_clock::time_point> nextTry_;
    std::chrono::milliseconds backoff_ = FIRST_BACKOFF;
    std::thread thread_;
};

}  // namespace td::acme
