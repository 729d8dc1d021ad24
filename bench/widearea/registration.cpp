// Registration by DNS UPDATE, run on host A of a `scripts/sandbox up --dns`
// sandbox: DNSServiceRegister in zelm.test. through the backend until its
// confirmation, against `nsupdate` sending the same update (prerequisite,
// PTR, SRV, TXT, A; signed with the same key) in the same run. nsupdate's
// time includes its process start, as dig's does in main.cpp. Prints one
// JSON object; ratios, no verdicts.

#include "Timing.h"

#include <dns_sd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// The settings of the configuration file the backend reads too.
std::map<std::string, std::string> settings(const char* path) {
    std::map<std::string, std::string> found;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const auto equals = line.find(" = ");
        if (equals != std::string::npos) found[line.substr(0, equals)] = line.substr(equals + 3);
    }
    return found;
}

void onRegister(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char*, const char*,
                const char*, void* context) {
    *static_cast<int*>(context) = error == 0 ? 1 : -1;
}

double backendRegister(int round) {
    const std::string name = "Zelm Bench Reg " + std::to_string(round);
    int confirmed = 0;
    DNSServiceRef ref = nullptr;
    const auto begin = Clock::now();
    if (DNSServiceRegister(&ref, 0, 0, name.c_str(), "_zelmbenchreg._tcp", "zelm.test.", nullptr, htons(9000),
                           4, "\003v=1", &onRegister, &confirmed) != 0)
        return -1;
    DNSServiceProcessResult(ref);
    const double ms = msSince(begin);
    DNSServiceRefDeallocate(ref);
    return confirmed == 1 ? ms : -1;
}

bool nsupdate(const std::map<std::string, std::string>& config, const std::string& body) {
    const std::string command =
        "nsupdate -y hmac-sha256:" + config.at("key-name") + ":" + config.at("secret");
    FILE* in = ::popen(command.c_str(), "w");
    if (in == nullptr) return false;
    std::fprintf(in, "server %s\nzone zelm.test.\n%ssend\n", config.at("server").c_str(), body.c_str());
    return ::pclose(in) == 0;
}

double nsupdateRegister(const std::map<std::string, std::string>& config, int round, const char* address) {
    const std::string instance =
        "Zelm\\032Bench\\032Nsupdate\\032" + std::to_string(round) + "._zelmbenchreg._tcp.zelm.test.";
    const std::string host = config.at("host-name") + ".zelm.test.";
    const auto begin = Clock::now();
    const bool ok = nsupdate(
        config, "prereq nxdomain " + instance + "\nupdate add _zelmbenchreg._tcp.zelm.test. 120 PTR " +
                    instance + "\nupdate add " + instance + " 120 SRV 0 0 9000 " + host + "\nupdate add " +
                    instance + " 120 TXT v=1\nupdate add " + host + " 120 A " + address + "\n");
    const double ms = msSince(begin);
    nsupdate(config, "update delete _zelmbenchreg._tcp.zelm.test. PTR " + instance + "\nupdate delete " +
                         instance + "\n");
    return ok ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10;
    const char* path = std::getenv("ZELM_DNSSD_UPDATE_CONFIG");
    const char* address = std::getenv("ZELM_SANDBOX_ADDR_A");
    if (path == nullptr || address == nullptr) return 1;
    const auto config = settings(path);
    std::vector<double> backend, tool;
    for (int round = 0; round < count; ++round) {
        if (const double ms = backendRegister(round); ms >= 0) backend.push_back(ms);
        if (const double ms = nsupdateRegister(config, round, address); ms >= 0) tool.push_back(ms);
    }
    std::printf(
        "{\"rounds\": %d, \"register_to_confirmation_ms\": {\"backend\": %.2f, \"nsupdate\": %.2f, "
        "\"ratio\": "
        "%.3f, \"complete\": [%zu, %zu]}}\n",
        count, median(backend), median(tool), median(backend) / median(tool), backend.size(), tool.size());
    return backend.empty() || tool.empty() ? 1 : 0;
}
