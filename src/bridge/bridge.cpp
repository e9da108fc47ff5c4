#include "bridge/bridge.hpp"

#include <algorithm>

#include "bridge/notification_text.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"
#include "common/text.hpp"

namespace td::bridge {
namespace {

using Clock = std::chrono::steady_clock;

// A program (a bus connection) may show a few at once (a chat catching up), then one a second,
// and so may the name of an app, whichever connections give it: many connections of one program
// still share the app's. All of them together a little more. What a flood sends past that is
// not told.
constexpr double SHARE_BURST = 5;
constexpr double SHARE_PER_SECOND = 1;
constexpr double ALL_BURST = 40;
constexpr double ALL_PER_SECOND = 10;
constexpr std::size_t MAX_BUCKETS = 64;
constexpr std::size_t MAX_ALLOWED_APPS = 256;

std::int64_t nowInMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string stateMessage(const Json& state) {
    return "event: state\ndata: " + dumpCompact(state) + "\n\n";
}

bool take(double& tokens, Clock::time_point& filled, double burst, double perSecond) {
    const auto now = Clock::now();
    if (filled == Clock::time_point{}) {
        tokens = burst;
    } else {
        tokens = std::min(burst,
                          tokens + std::chrono::duration<double>(now - filled).count() * perSecond);
    }
    filled = now;
    if (tokens < 1) {
        return false;
    }
    tokens -= 1;
    return true;
}

}  // namespace

NotificationChoice notificationChoiceIn(const Json& config) {
    NotificationChoice choice;
    const auto settings = jsonread::object(config, "settings");
    if (!settings) {
        return choice;
    }
    choice.on = jsonread::boolean(*settings, "notifications").value_or(false);
    if (const Json* apps = jsonread::member(*settings, "notificationApps");
        apps && apps->is_array()) {
        for (const Json& app : *apps) {
            if (app.is_string() && choice.apps.size() < MAX_ALLOWED_APPS) {
                choice.apps.insert(app.get<std::string>());
            }
        }
    }
    return choice;
}

Bridge::Bridge(Links links) : links_(std::move(links)), clipboardChangedAt_(nowInMilliseconds()) {
    if (links_.followDesktop) {
        clipboard_ = std::make_unique<host::ClipboardWatch>(links_.session, links_.desktop,
                                                            [this] { clipboardChanged(); });
        focus_ = std::make_unique<host::FocusWatch>(
            links_.session, links_.desktop,
            [this](const std::optional<std::string>& app) { focusChanged(app); });
    }
}

Bridge::~Bridge() {
    stop();
}

void Bridge::stop() {
    std::unique_ptr<host::NotificationWatch> watch;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        watch = std::move(watch_);
    }
    // Outside the lock: each watch's thread may be waiting for it to tell of a change.
    watch.reset();
    if (clipboard_) {
        clipboard_->stop();
    }
    if (focus_) {
        focus_->stop();
    }
}

void Bridge::reconfigure(const Json& config) {
    NotificationChoice choice = notificationChoiceIn(config);
    std::unique_ptr<host::NotificationWatch> retired;
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    if (choice.on && !watch_) {
        watch_ = std::make_unique<host::NotificationWatch>(
            [this](host::DesktopNotification notification) { notificationSeen(notification); });
    } else if (!choice.on && watch_) {
        retired = std::move(watch_);
    }
    choice_ = std::move(choice);
    // `retired` stops after the lock is let go (it is declared before it).
}

std::int64_t Bridge::clipboardChangedAt() const {
    std::lock_guard lock(mutex_);
    return clipboardChangedAt_;
}

host::ClipboardFollowing Bridge::clipboardFollowing() const {
    if (!clipboard_) {
        return {false, "", "The clipboard is not followed.", ""};
    }
    return clipboard_->following();
}

void Bridge::paced(Pace Bridge::*pace, std::chrono::milliseconds spacing, void (Bridge::*tell)()) {
    std::chrono::milliseconds wait{0};
    {
        std::lock_guard lock(mutex_);
        Pace& own = this->*pace;
        if (stopped_ || own.pending) {
            return;  // the message on its way will carry this change
        }
        const auto since = Clock::now() - own.told;
        if (since < spacing) {
            own.pending = true;
            wait = std::chrono::ceil<std::chrono::milliseconds>(spacing - since);
        }
    }
    if (wait.count() > 0) {
        links_.runLater(wait, [this, tell] { (this->*tell)(); });
    } else {
        (this->*tell)();
    }
}

void Bridge::clipboardChanged() {
    {
        std::lock_guard lock(mutex_);
        clipboardChangedAt_ = nowInMilliseconds();
    }
    paced(&Bridge::clipboardPace_, CLIPBOARD_SPACING, &Bridge::tellClipboard);
}

void Bridge::tellClipboard() {
    std::int64_t changed = 0;
    {
        std::lock_guard lock(mutex_);
        clipboardPace_ = {Clock::now(), false};
        changed = clipboardChangedAt_;
        if (stopped_) {
            return;
        }
    }
    links_.tell(stateMessage({{"clipboard", {{"changed", changed}}}}));
}

void Bridge::focusChanged(const std::optional<std::string>& app) {
    {
        std::lock_guard lock(mutex_);
        focused_ = app;
        if (app && asciiLowerCase(*app) != "tapdeck") {
            std::erase(recentApps_, *app);
            recentApps_.insert(recentApps_.begin(), *app);
            if (recentApps_.size() > MAX_RECENT_APPS) {
                recentApps_.pop_back();
            }
        }
    }
    paced(&Bridge::focusPace_, FOCUS_SPACING, &Bridge::tellFocus);
}

void Bridge::tellFocus() {
    std::optional<std::string> app;
    {
        std::lock_guard lock(mutex_);
        focusPace_ = {Clock::now(), false};
        app = focused_;
        if (stopped_) {
            return;
        }
    }
    links_.tell(stateMessage({{"focus", {{"app", app ? Json(*app) : Json(nullptr)}}}}));
}

std::optional<std::string> Bridge::focusedApp() const {
    std::lock_guard lock(mutex_);
    return focused_;
}

std::vector<std::string> Bridge::recentApps() const {
    std::lock_guard lock(mutex_);
    return recentApps_;
}

host::FocusFollowing Bridge::focusFollowing() const {
    if (!focus_) {
        return {false, "", "The app in front is not followed.", ""};
    }
    return focus_->following();
}

void Bridge::notificationSeen(const host::DesktopNotification& notification) {
    const std::string app = plainText(notification.app, MAX_APP_CHARACTERS, Markup::none);
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || !choice_.on) {
            return;
        }
        if (!app.empty() && appsSeen_.size() < MAX_APPS_SEEN &&
            std::find(appsSeen_.begin(), appsSeen_.end(), app) == appsSeen_.end()) {
            appsSeen_.push_back(app);
        }
        if (!choice_.apps.contains(app)) {
            return;
        }
        // Shares go by the program that calls (one program may give any app's name) and by
        // the name (one program may open many connections).
        if (!withinRate(notification.sender, app)) {
            TD_LOG(bridge, "a notification of " + app + " was not told: too many at once");
            return;
        }
    }
    tellNotification(app, plainText(notification.summary, MAX_SUMMARY_CHARACTERS, Markup::none),
                     plainText(notification.body, MAX_BODY_CHARACTERS));
}

bool Bridge::withinRate(const std::string& caller, const std::string& app) {
    for (auto* shares : {&perCaller_, &perApp_}) {
        if (shares->size() >= MAX_BUCKETS) {
            shares->clear();  // a flood of callers or names; the bucket of all still holds
        }
    }
    Bucket& own = perCaller_[caller];
    Bucket& named = perApp_[app];
    if (!take(own.tokens, own.filled, SHARE_BURST, SHARE_PER_SECOND)) {
        return false;
    }
    if (!take(named.tokens, named.filled, SHARE_BURST, SHARE_PER_SECOND)) {
        own.tokens += 1;  // not told, so not counted
        return false;
    }
    if (!take(allApps_.tokens, allApps_.filled, ALL_BURST, ALL_PER_SECOND)) {
        own.tokens += 1;
        named.tokens += 1;
        return false;
    }
    return true;
}

void Bridge::notify(const std::string& summary, const std::string& body) {
    tellNotification("Tapdeck", plainText(summary, MAX_SUMMARY_CHARACTERS, Markup::none),
                     plainText(body, MAX_BODY_CHARACTERS, Markup::none));
}

void Bridge::tellNotification(const std::string& app, const std::string& summary,
                              const std::string& body) {
    links_.tell(
        stateMessage({{"notification", {{"app", app}, {"summary", summary}, {"body", body}}}}));
}

std::vector<std::string> Bridge::appsSeen() const {
    std::lock_guard lock(mutex_);
    return appsSeen_;
}

std::string Bridge::notificationProblem() const {
    std::lock_guard lock(mutex_);
    return watch_ ? watch_->problem() : std::string();
}

}  // namespace td::bridge
