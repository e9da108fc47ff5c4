#include "host/linux/sound_events.hpp"

#include <sys/prctl.h>

#include <csignal>

#include "common/log.hpp"
#include "host/linux/glib_ptr.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;

constexpr auto FIRST_PAUSE = 1s;
constexpr auto LONGEST_PAUSE = std::chrono::milliseconds(5min);
// A subscription that lasted this long was working: the next failure starts the pauses over.
constexpr auto HEALTHY_RUN = 1min;
// pactl's event lines are short; a longer one is not one of them.
constexpr std::size_t MAX_LINE_BYTES = 512;
// Far more than a person moving a slider makes it print; a pactl that prints more is not one.
constexpr std::size_t MAX_BYTES_PER_MINUTE = 1024 * 1024;

}  // namespace

SoundEvents::SoundEvents(GMainContext* context, std::function<void()> changed)
    : context_(context), changed_(std::move(changed)), pause_(FIRST_PAUSE) {}

SoundEvents::~SoundEvents() {
    stop();
}

bool SoundEvents::isSoundChange(std::string_view line) {
    return line.starts_with("Event ") && (line.find(" on sink #") != std::string_view::npos ||
                                          line.find(" on server") != std::string_view::npos);
}

void SoundEvents::start() {
    if (!cancellable_) {
        cancellable_ = g_cancellable_new();
    }
    glib::Object<GSubprocessLauncher> launcher(
        g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
            G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
    // Its messages are only stable in the C locale; it goes when the agent goes, even killed.
    g_subprocess_launcher_setenv(launcher.get(), "LC_ALL", "C", TRUE);
    g_subprocess_launcher_set_child_setup(
        launcher.get(), [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
    GError* rawError = nullptr;
    child_ = g_subprocess_launcher_spawn(launcher.get(), &rawError, "pactl", "subscribe", nullptr);
    glib::Error error(rawError);
    if (!child_) {
        TD_LOG(tools, "pactl subscribe: " + glib::message(error));
        return ended();
    }
    startedAt_ = std::chrono::steady_clock::now();
    budgetStart_ = startedAt_;
    budgetUsed_ = 0;
    line_.clear();
    skippingLongLine_ = false;
    readMore();
    changed_();  // whatever changed while no subscription was listening
}

void SoundEvents::stop() {
    restart_.cancel();
    if (cancellable_) {
        g_cancellable_cancel(cancellable_);
        g_object_unref(cancellable_);
        cancellable_ = nullptr;
    }
    if (child_) {
        g_subprocess_force_exit(child_);
        g_object_unref(child_);
        child_ = nullptr;
    }
}

void SoundEvents::readMore() {
    ++pending_;
    g_input_stream_read_async(
        g_subprocess_get_stdout_pipe(child_), buffer_, sizeof buffer_, G_PRIORITY_DEFAULT,
        cancellable_,
        [](GObject* stream, GAsyncResult* result, gpointer data) {
            auto* self = static_cast<SoundEvents*>(data);
            --self->pending_;
            GError* rawError = nullptr;
            const gssize count =
                g_input_stream_read_finish(G_INPUT_STREAM(stream), result, &rawError);
            glib::Error error(rawError);
            if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                return;  // stopped: touch nothing more
            }
            self->onRead(count);
        },
        this);
}

void SoundEvents::onRead(gssize count) {
    if (count <= 0) {
        return ended();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - budgetStart_ > std::chrono::minutes(1)) {
        budgetStart_ = now;
        budgetUsed_ = 0;
    }
    budgetUsed_ += static_cast<std::size_t>(count);
    if (budgetUsed_ > MAX_BYTES_PER_MINUTE) {
        TD_LOG(tools, "pactl subscribe printed too much; stopped");
        startedAt_ = now;  // not a healthy run: the pauses keep growing
        return ended();
    }
    for (const char c : std::string_view(buffer_, static_cast<std::size_t>(count))) {
        if (c == '\n') {
            if (!skippingLongLine_) {
                takeLine(line_);
            }
            line_.clear();
            skippingLongLine_ = false;
        } else if (line_.size() < MAX_LINE_BYTES) {
            line_ += c;
        } else {
            skippingLongLine_ = true;
        }
    }
    readMore();
}

void SoundEvents::takeLine(std::string_view line) {
    if (isSoundChange(line)) {
        changed_();
    }
}

void SoundEvents::ended() {
    if (child_) {
        g_subprocess_force_exit(child_);
        g_object_unref(child_);
        child_ = nullptr;
    }
    if (std::chrono::steady_clock::now() - startedAt_ > HEALTHY_RUN) {
        pause_ = FIRST_PAUSE;
    }
    TD_LOG(tools, "pactl subscribe ended; again in " + std::to_string(pause_.count()) + " ms");
    restart_.start(context_, pause_, [this] { start(); });
    pause_ = std::min(pause_ * 2, LONGEST_PAUSE);
}

}  // namespace td::host
