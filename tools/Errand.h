#pragma once

// A call into the plug-in cannot be cut short: a browse lasts its time-out
// whatever happens meanwhile. To end sooner (a signal, a daemon that is gone,
// an answer that makes another call moot) the tool runs such a call as an
// errand on a thread of its own and may stop waiting for it. A thread left so
// runs on inside the plug-in until the process ends, which then ends at once,
// without destructors (see main()).

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Zelm::Tool {

class Errand {
public:
    Errand();
    Errand(const Errand&) = delete;
    Errand& operator=(const Errand&) = delete;
    // Waits for the work if wait() was not called or it is not left running.
    ~Errand();

    // Starts `work` on a new thread. What the work touches after a caller
    // stopped waiting must be the work's own (held by value or shared).
    void start(std::function<void()> work);

    // Waits until the work is done or `giveUp()` is true. giveUp runs on this
    // thread, at each wake() and every 20 ms (a signal handler cannot wake a
    // condition). Returns whether the work is done; an exception it threw is
    // rethrown. Work not done is left running.
    bool wait(const std::function<bool()>& giveUp);

    // Whether the work is done, without waiting.
    bool done() const;

    // Makes wait() ask giveUp() now; callable from any thread, also after the
    // Errand is gone.
    std::function<void()> waker() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        bool woken = false;
        std::exception_ptr failure;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

// Whether any errand was left running: the process must then end with
// std::_Exit, since exit() would unload what that thread is running in.
bool errandsLeftRunning();

}  // namespace Zelm::Tool
