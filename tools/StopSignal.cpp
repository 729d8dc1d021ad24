#include "StopSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace Zelm::Tool {

namespace {

int pipeFds[2] = {-1, -1};
volatile sig_atomic_t armed = 0;
std::atomic<int> first{0};  // the first signal taken from the pipe
const char* earlyText = "";

void onSignal(int number) {
    if (!armed) {
        (void)!::write(STDERR_FILENO, earlyText, std::strlen(earlyText));
        ::_exit(1);
    }
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    (void)!::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

StopSignal::StopSignal(const char* earlyMessage) {
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    earlyText = earlyMessage;
    armed = 0;
    setHandler(&onSignal);
}

StopSignal::~StopSignal() {
    setHandler(SIG_DFL);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void StopSignal::armForCleanStop() {
    first = 0;
    armed = 1;
}

std::optional<int> StopSignal::wait(std::optional<long long> timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs.value_or(0));
    for (;;) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (timeoutMs && left <= 0) return std::nullopt;
        // Interrupted polls (EINTR) just go round again.
        pollfd entry{pipeFds[0], POLLIN, 0};
        unsigned char byte = 0;
        if (::poll(&entry, 1, timeoutMs ? static_cast<int>(std::min<long long>(left, INT_MAX)) : -1) > 0 &&
            ::read(pipeFds[0], &byte, 1) == 1) {
            int none = 0;
            first.compare_exchange_strong(none, byte);
            return static_cast<int>(byte);
        }
    }
}

std::optional<int> StopSignal::received() const {
    unsigned char byte = 0;
    int none = 0;
    if (::read(pipeFds[0], &byte, 1) == 1) first.compare_exchange_strong(none, byte);
    if (first == 0) return std::nullopt;
    return first.load();
}

}  // namespace Zelm::Tool
