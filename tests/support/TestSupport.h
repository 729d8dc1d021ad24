#pragma once

// Helpers every unit suite gets. The suites' main() (TestMain.cpp) checks
// after each test that it left no thread behind, and runs the leak checks
// that test libraries such as the DNS-SD double register.

#include <gtest/gtest.h>
#include <zelm/Error.h>
#include <zelm/mdns/MDNSError.h>

#include <dirent.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace Zelm::Test {

// Captures std::cout while it lives. Only flushed text counts: the library
// promises whole, flushed lines.
class CoutCapture : private std::stringbuf {
public:
    CoutCapture() : std::stringbuf(std::ios_base::out), previous_(std::cout.rdbuf(this)) {}
    ~CoutCapture() override { std::cout.rdbuf(previous_); }
    const std::string& text() const { return flushed_; }

private:
    int sync() override {
        flushed_ += str();
        str("");
        return 0;
    }
    std::streambuf* previous_;
    std::string flushed_;
};

// `reset` runs before every test; `leftovers` after it, and must return "".
struct LeakCheck {
    std::function<void()> reset;
    std::function<std::string()> leftovers;
};
inline std::vector<LeakCheck>& leakChecks() {
    static std::vector<LeakCheck> checks;
    return checks;
}
inline bool addLeakCheck(LeakCheck check) { return leakChecks().push_back(std::move(check)), true; }

inline int threadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

// The thread count once it is `want`, or after two seconds: a joined thread
// can stay listed in /proc for a moment after the join.
inline int settledThreadCount(int want) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (threadCount() != want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return threadCount();
}

// `error` carries `code` (a DNS-SD code, as unsigned), `category` and `message`.
inline void expectError(const Zelm::Error& error, int code, Zelm::Error::Category category,
                        const std::string& message = "") {
    EXPECT_EQ(error.code(), static_cast<unsigned int>(code));
    EXPECT_EQ(error.category(), category);
    EXPECT_EQ(error.message(), message);
}

inline void expectBusy(const Zelm::Error& error) {
    const Zelm::MDNS::BrowseOperationAlreadyInProgress busy;
    expectError(error, static_cast<int>(busy.code()), busy.category(), busy.message());
}

// A resolve or address-lookup component whose wait ends as soon as its reply
// loop ends, as at a time-out, without waiting out the fixed 4 s.
template <typename Component>
struct Prompt : Component {
    bool callServiceFunction() override {
        const bool more = Component::callServiceFunction();
        if (!more) this->semaphore.signal();
        return more;
    }
};

}  // namespace Zelm::Test
