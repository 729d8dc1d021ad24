// The wide-area benchmark, run on host A of a `scripts/sandbox up --dns`
// sandbox: browse of the 1000 instances of _zelmbench._tcp.zelm.test. through
// the backend (time to the last add) against `dig` for the same PTR records,
// and resolve latency through the backend against c-ares alone (SRV and TXT
// on a fresh channel, as the backend's first query in a process makes one).
// Prints one JSON object; ratios, no verdicts.

#include "Timing.h"

#include <dns_sd.h>

#include <ares.h>
#include <arpa/nameser.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Browse {
    int added = 0;
    Clock::time_point last;
};

void onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char*,
              const char*, const char*, void* context) {
    auto* browse = static_cast<Browse*>(context);
    if (error == 0 && (flags & kDNSServiceFlagsAdd) != 0) {
        ++browse->added;
        browse->last = Clock::now();
    }
}

// Milliseconds to the last of `want` instances; -1 when not all came.
double backendBrowse(int want) {
    Browse browse;
    DNSServiceRef ref = nullptr;
    const auto begin = Clock::now();
    if (DNSServiceBrowse(&ref, 0, 0, "_zelmbench._tcp", "zelm.test.", &onBrowse, &browse) != 0) return -1;
    while (browse.added < want && msSince(begin) < 10000 && DNSServiceProcessResult(ref) == 0) {
    }
    DNSServiceRefDeallocate(ref);
    return browse.added == want ? std::chrono::duration<double, std::milli>(browse.last - begin).count() : -1;
}

// dig's wall time, its process start included; -1 unless it listed `want`.
double digBrowse(int want) {
    const auto begin = Clock::now();
    FILE* out = ::popen("dig +short +tries=1 +time=5 _zelmbench._tcp.zelm.test. PTR", "r");
    int lines = 0;
    char line[512];
    while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) ++lines;
    const bool ok = out != nullptr && ::pclose(out) == 0 && lines == want;
    return ok ? msSince(begin) : -1;
}

void onResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*, const char*,
               uint16_t, uint16_t, const unsigned char*, void* context) {
    *static_cast<int*>(context) = error == 0 ? 1 : -1;
}

double backendResolve() {
    int done = 0;
    DNSServiceRef ref = nullptr;
    const auto begin = Clock::now();
    if (DNSServiceResolve(&ref, 0, 0, "Zelm Alpha", "_zelmweb._tcp", "zelm.test.", &onResolve, &done) != 0)
        return -1;
    DNSServiceProcessResult(ref);
    DNSServiceRefDeallocate(ref);
    return done == 1 ? msSince(begin) : -1;
}

void onAres(void* arg, int status, int, unsigned char*, int) {
    *static_cast<int*>(arg) += status == 0 ? 1 : 100;
}

double aresResolve() {
    const auto begin = Clock::now();
    ares_channel channel = nullptr;
    ares_options options{};
    options.flags = ARES_FLAG_EDNS;
    if (ares_init_options(&channel, &options, ARES_OPT_FLAGS) != ARES_SUCCESS) return -1;
    int done = 0;
    const char* name = "Zelm Alpha._zelmweb._tcp.zelm.test.";
    ares_query(channel, name, ns_c_in, ns_t_srv, &onAres, &done);
    ares_query(channel, name, ns_c_in, ns_t_txt, &onAres, &done);
    while (done < 2) {
        fd_set read, write;
        FD_ZERO(&read);
        FD_ZERO(&write);
        const int count = ares_fds(channel, &read, &write);
        timeval wait{};
        ::select(count, &read, &write, nullptr, ares_timeout(channel, nullptr, &wait));
        ares_process(channel, &read, &write);
    }
    ares_destroy(channel);
    return done == 2 ? msSince(begin) : -1;
}

template <typename Measure>
std::vector<double> rounds(int count, Measure measure) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) {
        const double ms = measure();
        if (ms >= 0) values.push_back(ms);
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10;
    const int want = 1000;
    const auto browse = rounds(count, [&] { return backendBrowse(want); });
    const auto dig = rounds(count, [&] { return digBrowse(want); });
    const auto resolve = rounds(count * 5, backendResolve);
    const auto ares = rounds(count * 5, aresResolve);
    std::printf(
        "{\"rounds\": %d, \"browse_1000_ms\": {\"backend\": %.2f, \"dig\": %.2f, \"ratio\": %.2f, "
        "\"complete\": [%zu, %zu]},\n \"resolve_ms\": {\"backend\": %.2f, \"c_ares\": %.2f, \"ratio\": "
        "%.2f, \"complete\": [%zu, %zu]}}\n",
        count, median(browse), median(dig), median(browse) / median(dig), browse.size(), dig.size(),
        median(resolve), median(ares), median(resolve) / median(ares), resolve.size(), ares.size());
    return browse.empty() || dig.empty() || resolve.empty() || ares.empty() ? 1 : 0;
}
