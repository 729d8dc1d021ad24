#include "daemon/DaemonObject.h"

namespace Zelm::DnsSd {

namespace {

// Frees a daemon object; unanswered. Should it not go out (no memory), the
// daemon frees the object with the connection.
void sendFree(Channel& channel, const std::string& path, const char* interface) {
    try {
        channel.send(Daemon::requestTo(Daemon::kFree, path, interface));
    } catch (...) {
    }
}

}  // namespace

void DaemonObject::create(Channel& channel, const Daemon::Request& creation, PendingCalls& calls,
                          bool startIt, Outcome created, Outcome startFailed) {
    Channel* on = &channel;
    const bool sent = calls.send(channel, creation, [=, &calls](const Daemon::Reply& reply) {
        created(onCreated(*on, reply, calls, startIt, startFailed));
    });
    if (!sent) {
        created(kDNSServiceErr_NoMemory);
    }
}

DNSServiceErrorType DaemonObject::onCreated(Channel& channel, const Daemon::Reply& reply, PendingCalls& calls,
                                            bool startIt, const Outcome& startFailed) {
    if (reply.error != kDNSServiceErr_NoError) {
        return reply.error;
    }
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    std::string path;
    try {
        const auto named = Daemon::unpack<std::tuple<Daemon::ObjectPath>>(reply.values);
        if (!named) {
            return kDNSServiceErr_Unknown;
        }
        path = std::get<0>(*named).path;
        if (!adopt(channel, path, calls, startIt, startFailed)) {
            error = kDNSServiceErr_NoMemory;
        }
    } catch (...) {
        error = kDNSServiceErr_NoMemory;
    }
    if (error != kDNSServiceErr_NoError) {
        // Made, but not taken: freed at once.
        if (exists()) {
            free();
        } else if (!path.empty()) {
            sendFree(channel, path, interface_);
        }
    }
    return error;
}

bool DaemonObject::adopt(Channel& channel, const std::string& path, PendingCalls& calls, bool startIt,
                         const Outcome& startFailed) {
    path_ = path;
    channel_ = &channel;
    if (!channel.route(path_, target_)) {
        return false;
    }
    return !startIt || call(Daemon::kStart, calls, [startFailed](const Daemon::Reply& started) {
        if (started.error != kDNSServiceErr_NoError && startFailed) {
            startFailed(started.error);
        }
    });
}

void DaemonObject::free() {
    if (channel_ == nullptr) {
        return;
    }
    // Unanswered: the caller does not wait for the daemon.
    sendFree(*channel_, path_, interface_);
    forget();
}

void DaemonObject::forget() {
    if (channel_ != nullptr) {
        channel_->unroute(path_);
        channel_ = nullptr;
        path_.clear();
    }
}

}  // namespace Zelm::DnsSd
