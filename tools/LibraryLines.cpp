#include "LibraryLines.h"

#include <dns_sd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <vector>

namespace Zelm::Tool {

void takeLine(const std::string& line);

namespace {

std::mutex linesMutex;
std::vector<WatchedCall*> calls;  // the calls in progress
bool passingOn = true;

const std::string errorTag = "mDNS error: ";
const std::string timeUpLine = errorTag + std::to_string(kDNSServiceErr_ServiceNotRunning) + ":";

// Collects what the plug-in writes into lines; the plug-in writes each line
// with one call and flushes it, from any of its threads.
class LineReader : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::streamsize i = 0; i < count; ++i) {
            if (text[i] != '\n') {
                pending_ += text[i];
                continue;
            }
            takeLine(pending_);
            pending_.clear();
        }
        return count;
    }

private:
    std::mutex mutex_;
    std::string pending_;
};

}  // namespace

void takeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(linesMutex);
    const std::size_t tag = line.find(errorTag);
    const int code = tag == std::string::npos ? 0 : std::atoi(line.c_str() + tag + errorTag.size());
    if (tag != std::string::npos && tag > 0) {
        for (WatchedCall* call : calls) {
            if (call->caller_ == std::this_thread::get_id()) {
                call->lineCode_ = code;
                call->startRefused_ = true;
                if (call->onEnding_) call->onEnding_();
                return;
            }
        }
    }
    if (tag == 0 && code != kDNSServiceErr_ServiceNotRunning && calls.size() == 1 &&
        !calls.front()->startRefused_ && calls.front()->replyCode_ == 0) {
        // Whose reply it is can be told only while one call runs.
        calls.front()->replyCode_ = code;
        if (calls.front()->onEnding_) calls.front()->onEnding_();
        return;
    }
    if (line.rfind(timeUpLine, 0) == 0) {
        // A call whose time is up, one that had started first: two calls
        // running side by side may end in the same instant. Before any call's
        // time is up, the line ends a running call early: the daemon is gone,
        // and each running call gets a line of its own.
        WatchedCall* owner = nullptr;
        WatchedCall* cutShort = nullptr;
        for (WatchedCall* call : calls) {
            const bool running = call->timeoutMs_ > 0 && !call->timedOut_ && !call->daemonLost_;
            const bool timeUp = running && WatchedCall::Clock::now() >=
                                               call->begin_ + std::chrono::milliseconds(call->timeoutMs_);
            if (timeUp && (owner == nullptr || (call->sawStart() && !owner->sawStart()))) owner = call;
            if (running && !timeUp && !call->startRefused_ && cutShort == nullptr) cutShort = call;
        }
        if (owner != nullptr) {
            owner->timedOut_ = true;
            return;
        }
        if (cutShort != nullptr) {
            cutShort->lineCode_ = code;
            cutShort->daemonLost_ = true;
            if (cutShort->onEnding_) cutShort->onEnding_();
            return;
        }
        // Calls that ended in the same instant may have had their lines
        // credited the other way round, and the owner of this one may be
        // gone already: a line while a timed-out call is still watched is
        // its twin.
        if (std::any_of(calls.begin(), calls.end(),
                        [](const WatchedCall* call) { return call->timedOut_.load(); })) {
            return;
        }
    }
    if (passingOn) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
}

void captureLibraryLines(bool passOn) {
    passingOn = passOn;
    // Never destroyed: std::cout is flushed once more at exit, after the
    // destruction of ordinary static objects.
    static auto* const reader = new LineReader;
    std::cout.rdbuf(reader);
}

WatchedCall::WatchedCall(unsigned int timeoutMs, std::function<bool()> isInitialized,
                         std::function<void()> onEnding)
    : timeoutMs_(timeoutMs), onEnding_(std::move(onEnding)) {
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        calls.push_back(this);
    }
    if (!isInitialized) return;
    // The component reports itself initialized while its request is being
    // processed, which happens only once the daemon has accepted it.
    watcher_ = std::thread([this, isInitialized] {
        while (!stopping_) {
            if (isInitialized()) {
                startMs_ =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin_).count();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
}

void WatchedCall::finish() {
    stopping_ = true;
    if (watcher_.joinable()) watcher_.join();
    std::lock_guard<std::mutex> lock(linesMutex);
    calls.erase(std::remove(calls.begin(), calls.end(), this), calls.end());
}

WatchedCall::~WatchedCall() { finish(); }

}  // namespace Zelm::Tool
