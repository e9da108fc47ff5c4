#include "common/main_thread.hpp"

#include <glib-unix.h>
#include <glib.h>

#include <exception>
#include <string>

#include "common/log.hpp"

namespace td {
namespace {

using Task = std::function<void()>;

void runTask(const Task& task) noexcept {
    try {
        task();
    } catch (const std::exception& e) {
        TD_LOG(main, std::string("a task on the main thread failed: ") + e.what());
    } catch (...) {
        TD_LOG(main, "a task on the main thread failed");
    }
}

gboolean runOnce(gpointer data) noexcept {
    runTask(*static_cast<Task*>(data));
    return G_SOURCE_REMOVE;
}

gboolean runAgain(gpointer data) noexcept {
    runTask(*static_cast<Task*>(data));
    return G_SOURCE_CONTINUE;
}

void deleteTask(gpointer data) noexcept {
    delete static_cast<Task*>(data);
}

guint milliseconds(std::chrono::milliseconds duration) {
    return static_cast<guint>(std::max<std::chrono::milliseconds::rep>(0, duration.count()));
}

// Every source has the same priority, so tasks that are due run in the order they were posted.
void attach(GMainContext* context, GSource* source, GSourceFunc function, Task task) {
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, function, new Task(std::move(task)), deleteTask);
    g_source_attach(source, context);
    g_source_unref(source);
}

}  // namespace

MainThread::MainThread(Context context)
    : context_(context == Context::own ? g_main_context_new()
                                       : g_main_context_ref(g_main_context_default())),
      loop_(g_main_loop_new(context_, FALSE)) {}

MainThread::~MainThread() {
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void MainThread::post(std::function<void()> task) {
    attach(context_, g_idle_source_new(), runOnce, std::move(task));
}

void MainThread::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    attach(context_, g_timeout_source_new(milliseconds(delay)), runOnce, std::move(task));
}

void MainThread::postEvery(std::chrono::milliseconds interval, std::function<void()> task) {
    attach(context_, g_timeout_source_new(milliseconds(interval)), runAgain, std::move(task));
}

void MainThread::onSignal(int signal, std::function<void()> task) {
    attach(context_, g_unix_signal_source_new(signal), runAgain, std::move(task));
}

void MainThread::run() {
    // GIO attaches its monitors and callbacks to the thread-default context of the thread that
    // makes them: on this thread, that is this loop's.
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
}

void MainThread::quit() {
    // Posted rather than done here: a quit before `run` would otherwise be forgotten.
    post([loop = loop_] { g_main_loop_quit(loop); });
}

}  // namespace td
