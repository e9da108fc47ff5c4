#include "acme/certificate_keeper.hpp"

#include "common/files.hpp"
#include "common/log.hpp"

namespace td::acme {
namespace {

std::int64_t secondsOf(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

}  // namespace

CertificateKeeper::CertificateKeeper(Options options) : options_(std::move(options)) {
    thread_ = std::thread([this] { run(); });
}

CertificateKeeper::~CertificateKeeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CertificateKeeper::keep(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        if (name == name_) {
            return;
        }
        name_ = name;
        backoff_ = FIRST_BACKOFF;
    }
    wake_.notify_all();
}

Json CertificateKeeper::status() const {
    std::lock_guard lock(mutex_);
    Json status = {{"name", name_}, {"state", state_}};
    if (notAfter_) {
        status["notAfter"] = secondsOf(*notAfter_);
    }
    if (!error_.empty()) {
        status["error"] = error_;
    }
    if (nextTry_) {
        status["nextTry"] = secondsOf(*nextTry_);
    }
    return status;
}

void CertificateKeeper::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (name_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const std::string name = name_;
        lock.unlock();
        const auto remaining = timeToRenewal(name);
        if (remaining) {
            if (!wait(std::chrono::duration_cast<std::chrono::milliseconds>(*remaining), name)) {
                lock.lock();
                continue;
            }
        } else {
            obtain(name);
        }
        lock.lock();
    }
}

std::optional<std::chrono::system_clock::duration> CertificateKeeper::timeToRenewal(
    const std::string& name) {
    const auto pem = readWholeFile((options_.folder / "cert.pem").string());
    const auto lifetime = pem ? certificateLifetime(*pem, name) : std::nullopt;
    const auto now = std::chrono::system_clock::now();
    std::lock_guard lock(mutex_);
    if (!lifetime) {
        notAfter_.reset();
        return std::nullopt;
    }
    notAfter_ = lifetime->notAfter;
    const auto renewAt = lifetime->notBefore + (lifetime->notAfter - lifetime->notBefore) * 2 / 3;
    if (now >= renewAt) {
        return std::nullopt;
    }
    if (state_ != "failed") {
        state_ = "held";
    }
    return renewAt - now;
}

void CertificateKeeper::obtain(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        state_ = "obtaining";
        nextTry_.reset();
    }
    makePrivateFolder(options_.folder);
    const Key account = loadOrCreateKey(options_.folder / "account.pem");
    const Key key = loadOrCreateKey(options_.folder / "key.pem");
    AcmeOutcome outcome;
    if (!account || !key) {
        outcome.error = "the keys in " + options_.folder.string() + " cannot be read or made";
    } else {
        AcmeLinks links;
        links.fetch = options_.fetch;
        links.answer = options_.answer;
        links.wait = [this, &name](std::chrono::milliseconds pause) { return wait(pause, name); };
        outcome = obtainCertificate(options_.directoryUrl, account.get(), key.get(), name, links);
    }
    if (outcome.error.empty() &&
        !replaceFileAtomically((options_.folder / "cert.pem").string(), outcome.chainPem, 0600)) {
        outcome.error = "the certificate could not be saved";
    }
    if (outcome.error.empty()) {
        {
            std::lock_guard lock(mutex_);
            state_ = "held";
            error_.clear();
            backoff_ = FIRST_BACKOFF;
        }
        if (options_.renewed) {
            options_.renewed();
        }
        return;
    }
    std::chrono::milliseconds pause;
    {
        std::lock_guard lock(mutex_);
        state_ = "failed";
        error_ = outcome.error;
        pause = backoff_;
        if (outcome.retryAfter && *outcome.retryAfter > pause) {
            // The CA's word, but never past the longest pause: a hostile or broken answer must
            // not stop renewals for years.
            pause = std::min<std::chrono::milliseconds>(*outcome.retryAfter, LAST_BACKOFF);
        }
        backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, LAST_BACKOFF);
        nextTry_ = std::chrono::system_clock::now() + pause;
    }
    wait(pause, name);
}

bool CertificateKeeper::wait(std::chrono::milliseconds pause, const std::string& name) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, pause, [&] { return stopping_ || name_ != name; });
    return !stopping_ && name_ == name;
}

}  // namespace td::acme
