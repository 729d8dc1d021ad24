// zelm-bench-host: a host of the plug-in that takes one measurement per
// command and answers with one JSON line. It links the DNS-SD backend too,
// for the baselines, and loads the plug-in with dlopen like any host; the
// plug-in's own copy of the backend stays hidden inside it.
//
// Usage: zelm-bench-host [PLUGIN]
// Commands on stdin, one per line, fields separated by tabs:
//   resolve  plugin|backend NAME TYPE
//   lookup   plugin|backend HOST
//   register plugin|backend NAME TYPE PORT
//   browse   plugin|backend|bare TYPE TIMEOUT_MS
//   endmid   plugin|backend TYPE AFTER_MS
//   scale    plugin|backend TYPE COUNT TIMEOUT_MS
//   idle     COUNT
//   floor    resolve NAME TYPE | lookup HOST
//   hold     plugin|backend on|off
// The answers go to the standard output the process started with; the
// plug-in's own diagnostic lines are sent to standard error instead.

#include "BackendSamples.h"
#include "DaemonFloor.h"
#include "PluginSamples.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZELM_BENCH_PLUGIN_PATH
#define ZELM_BENCH_PLUGIN_PATH "libZelmMDNS.so.0"
#endif

namespace {

using nlohmann::json;
using Zelm::Bench::BackendSamples;
using Zelm::Bench::DaemonFloor;
using Zelm::Bench::PluginSamples;

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '\t')) {
        fields.push_back(field);
    }
    return fields;
}

unsigned toUnsigned(const std::string& text) { return static_cast<unsigned>(std::stoul(text)); }

json run(const std::vector<std::string>& f, PluginSamples& plugin, BackendSamples& backend,
         DaemonFloor& floor) {
    const std::string& command = f.at(0);
    if (command == "idle") return plugin.idleMemory(static_cast<int>(toUnsigned(f.at(1))));
    if (command == "floor")
        return f.at(1) == "resolve" ? floor.resolve(f.at(2), f.at(3)) : floor.lookup(f.at(2));
    const std::string& side = f.at(1);
    const bool viaPlugin = side == "plugin";
    if (!viaPlugin && side != "backend" && !(command == "browse" && side == "bare")) {
        throw std::invalid_argument("unknown side " + side);
    }
    if (command == "resolve") {
        return viaPlugin ? plugin.resolve(f.at(2), f.at(3)) : backend.resolve(f.at(2), f.at(3));
    }
    if (command == "lookup") return viaPlugin ? plugin.lookup(f.at(2)) : backend.lookup(f.at(2));
    if (command == "register") {
        const auto port = static_cast<unsigned short>(toUnsigned(f.at(4)));
        return viaPlugin ? plugin.registerThenEnd(f.at(2), f.at(3), port)
                         : backend.registerThenEnd(f.at(2), f.at(3), port);
    }
    if (command == "browse") {
        const unsigned timeoutMs = toUnsigned(f.at(3));
        if (side == "bare") return backend.bareWait(timeoutMs);
        return viaPlugin ? plugin.browse(f.at(2), timeoutMs) : backend.browse(f.at(2), timeoutMs);
    }
    if (command == "endmid") {
        const unsigned afterMs = toUnsigned(f.at(3));
        return viaPlugin ? plugin.endMidBrowse(f.at(2), afterMs * 3, afterMs)
                         : backend.endMidBrowse(f.at(2), afterMs);
    }
    if (command == "scale") {
        const int count = static_cast<int>(toUnsigned(f.at(3)));
        const unsigned timeoutMs = toUnsigned(f.at(4));
        return viaPlugin ? plugin.scale(f.at(2), count, timeoutMs) : backend.scale(f.at(2), count, timeoutMs);
    }
    if (command == "hold") return viaPlugin ? plugin.hold(f.at(2) == "on") : backend.hold(f.at(2) == "on");
    throw std::invalid_argument("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    // Answers keep the original stdout; the plug-in writes its lines to std::cout.
    FILE* answers = ::fdopen(::dup(STDOUT_FILENO), "w");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    if (answers == nullptr) return 2;

    try {
        PluginSamples plugin(argc > 1 ? argv[1] : ZELM_BENCH_PLUGIN_PATH);
        BackendSamples backend;
        DaemonFloor floor;
        std::fprintf(answers, "%s\n", json{{"ready", true}}.dump().c_str());
        std::fflush(answers);
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.empty()) continue;
            json answer;
            try {
                answer = run(fieldsOf(line), plugin, backend, floor);
            } catch (const std::exception& error) {
                answer = {{"error", error.what()}};
            }
            std::fprintf(answers, "%s\n", answer.dump().c_str());
            std::fflush(answers);
        }
        plugin.hold(false);
        backend.hold(false);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zelm-bench-host: %s\n", error.what());
        return 1;
    }
    return 0;
}
