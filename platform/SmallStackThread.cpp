#include "SmallStackThread.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

namespace Zelm {

namespace {

extern "C" void* runBody(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (...) {
        // Nothing above a thread's entry point could handle it.
    }
    return nullptr;
}

std::size_t usableStackSize(std::size_t requested) {
    const long minimum = ::sysconf(_SC_THREAD_STACK_MIN);
    const long page = ::sysconf(_SC_PAGESIZE);
    std::size_t size = requested;
    if (minimum > 0 && size < static_cast<std::size_t>(minimum)) {
        size = static_cast<std::size_t>(minimum);
    }
    if (page > 0) {
        const auto pageSize = static_cast<std::size_t>(page);
        size = (size + pageSize - 1) / pageSize * pageSize;
    }
    return size;
}

int createWithStack(pthread_t& thread, std::size_t stackBytes, void* body) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) {
        return error;
    }
    error = ::pthread_attr_setstacksize(&attributes, usableStackSize(stackBytes));
    if (error == 0) {
        error = ::pthread_create(&thread, &attributes, &runBody, body);
    }
    ::pthread_attr_destroy(&attributes);
    if (error == EINVAL) {
        // The C library wants more (its thread-local storage lives on the
        // stack too): take its default rather than no thread at all.
        error = ::pthread_create(&thread, nullptr, &runBody, body);
    }
    return error;
}

}  // namespace

SmallStackThread::~SmallStackThread() { join(); }

int SmallStackThread::start(std::function<void()> body, std::size_t stackBytes) noexcept {
    if (started_) {
        return EINVAL;
    }
    auto* owned = new (std::nothrow) std::function<void()>(std::move(body));
    if (owned == nullptr) {
        return ENOMEM;
    }
    // The new thread inherits the mask in force while it is created.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int error = createWithStack(thread_, stackBytes, owned);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        delete owned;
        return error;
    }
    started_ = true;
    return 0;
}

void SmallStackThread::join() noexcept {
    if (started_) {
        ::pthread_join(thread_, nullptr);
        started_ = false;
    }
}

}  // namespace Zelm
