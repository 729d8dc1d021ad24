#include "StopSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace Zelm::Tool {

namespace {

int pipeFds[2] = {-1, -1};
volatile sig_atomic_t armed = 0;
const char* earlyText = "";

void onSignal(int number) {
    if (!armed) {
        const ssize_t ignored = ::write(STDERR_FILENO, earlyText, std::strlen(earlyText));
        (void)ignored;
        ::_exit(1);
    }
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    const ssize_t ignored = ::write(pipeFds[1], &byte, 1);
    (void)ignored;
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

void StopSignal::armForCleanStop() { armed = 1; }

std::optional<int> StopSignal::wait(std::optional<long long> timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        timeoutMs ? Clock::now() + std::chrono::milliseconds(*timeoutMs) : Clock::time_point::max();
    for (;;) {
        int waitMs = -1;
        if (timeoutMs) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return std::nullopt;
            }
            waitMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd entry{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&entry, 1, waitMs);
        if (ready > 0) {
            unsigned char byte = 0;
            if (::read(pipeFds[0], &byte, 1) == 1) {
                return static_cast<int>(byte);
            }
        } else if (ready < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("waiting for a signal failed: ") + std::strerror(errno));
        }
    }
}

}  // namespace Zelm::Tool
