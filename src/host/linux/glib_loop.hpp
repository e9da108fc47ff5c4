#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <memory>

// Timers on a GLib context other than the default one, for the followers that run their own.
namespace td::host::glib {

// A one-shot timer on `context`; destroying it (or `cancel`) before it fires means it never does.
class Timer {
  public:
    Timer() = default;
    ~Timer() { cancel(); }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void start(GMainContext* context, std::chrono::milliseconds delay, std::function<void()> task) {
        cancel();
        source_ = g_timeout_source_new(static_cast<guint>(delay.count()));
        auto* call = new Call{this, std::move(task)};
        g_source_set_callback(
            source_,
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Call*>(data);
                // Forgotten before the task runs: the task may start the timer again.
                g_source_unref(self->timer->source_);
                self->timer->source_ = nullptr;
                self->task();
                return G_SOURCE_REMOVE;
            },
            call, [](gpointer data) { delete static_cast<Call*>(data); });
        g_source_attach(source_, context);
    }

    bool pending() const { return source_ != nullptr; }

    void cancel() {
        if (source_) {
            g_source_destroy(source_);
            g_source_unref(source_);
            source_ = nullptr;
        }
    }

  private:
    struct Call {
        Timer* timer;
        std::function<void()> task;
    };
    GSource* source_ = nullptr;
};

}  // namespace td::host::glib
