#pragma once

#include <chrono>
#include <functional>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace td {

// The agent's main thread: a GLib main loop that runs posted tasks and timers one at a time,
// in the order they were posted, on the thread that calls `run`. Any thread may post. The
// desktop shell, GIO's monitors and the agent's own timers share this one loop.
class MainThread {
  public:
    enum class Context {
        processDefault,  // GLib's default context, the one GTK runs on
        own,             // a private context (tests; several loops in one process)
    };

    explicit MainThread(Context context = Context::processDefault);
    ~MainThread();  // tasks still waiting are dropped
    MainThread(const MainThread&) = delete;
    MainThread& operator=(const MainThread&) = delete;

    void post(std::function<void()> task);
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
    // Runs `task` every `interval`, the first time one interval from now, until the loop ends.
    void postEvery(std::chrono::milliseconds interval, std::function<void()> task);

    // Runs `task` on this thread each time the process receives `signal` (SIGINT, SIGTERM,
    // SIGHUP, SIGUSR1, SIGUSR2). Nothing is blocked: children inherit no signal mask.
    void onSignal(int signal, std::function<void()> task);

    // Runs until `quit`.
    void run();
    // Ends `run` once the tasks posted before it have run; from any thread, before or during
    // `run`.
    void quit();

  private:
    GMainContext* context_;
    GMainLoop* loop_;
};

}  // namespace td
