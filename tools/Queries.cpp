#include "Queries.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Zelm::Tool {

namespace {

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// Samples isInitialized() of a browse in progress on a thread of its own,
// until it reads true or the watch ends.
class StartWatch {
public:
    explicit StartWatch(const Zelm::MDNS::BrowseInterface& browser)
        : thread_([this, &browser] {
              std::unique_lock<std::mutex> lock(mutex_);
              while (!stopping_) {
                  lock.unlock();
                  const bool initialized = browser.isInitialized();
                  lock.lock();
                  if (initialized) {
                      started_ = true;
                      return;
                  }
                  wake_.wait_for(lock, std::chrono::milliseconds(20));
              }
          }) {}
    StartWatch(const StartWatch&) = delete;
    StartWatch& operator=(const StartWatch&) = delete;
    ~StartWatch() { stop(); }

    bool sawStart() {
        stop();
        return started_;
    }

private:
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
    std::thread thread_;
};

}  // namespace

std::vector<Instance> distinctInstances(const std::vector<Zelm::MDNS::Info>& reports) {
    std::vector<Instance> instances;
    for (const Zelm::MDNS::Info& info : reports) {
        bool seen = false;
        for (const Instance& known : instances) {
            seen = seen || (known.name == info.serviceName && known.type == info.regtype &&
                            known.domain == info.replyDomain);
        }
        if (!seen) {
            instances.push_back({info.serviceName, info.regtype, info.replyDomain, info.interfaceIndex});
        }
    }
    return instances;
}

BrowseResult browseInstances(const Plugin& plugin, const std::string& type, const std::string& domain,
                             unsigned int timeoutMs,
                             const std::function<void(const Zelm::MDNS::Info&)>& onReport) {
    auto browser = plugin.create<Zelm::MDNS::BrowseInterface>();
    BrowseResult result;
    {
        // The component reports itself initialized while its request is being
        // processed, which happens only once the daemon has accepted it.
        StartWatch watch(*browser.api);
        result.outcome = browser->browseService(timeoutMs, type.c_str(), orNull(domain), 0, 0, onReport);
        result.requestStarted = watch.sawStart();
    }
    const std::vector<Zelm::MDNS::Info> reports = browser->getInfo();
    result.reports = reports.size();
    result.instances = distinctInstances(reports);
    return result;
}

Resolution resolveInstance(const Plugin& plugin, const std::string& name, const std::string& type,
                           const std::string& domain) {
    auto resolver = plugin.create<Zelm::MDNS::ResolveInterface>();
    Resolution result;
    result.outcome = resolver->resolveService(name.c_str(), type.c_str(), domain.c_str(), 0, 0);
    if (result.outcome.ok()) {
        result.fullname = resolver->getFullname();
        result.host = resolver->getHosttarget();
        result.port = resolver->getPort();
        result.txt = resolver->getTxtRecord();
    }
    return result;
}

AddressLookup lookupAddress(const Plugin& plugin, const std::string& host, unsigned int protocol) {
    auto lookup = plugin.create<Zelm::MDNS::AddressInfoInterface>();
    AddressLookup result;
    result.outcome = lookup->getAddressInfo(host.c_str(), protocol, 0, 0);
    if (result.outcome.ok()) {
        result.address = lookup->getSocketAddressAsString();
        if (!result.address.empty()) {
            result.family = lookup->getSocketAddress().sa_family;
        }
    }
    return result;
}

}  // namespace Zelm::Tool
