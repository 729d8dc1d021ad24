#pragma once

// The tool's results go to standard output; everything else, the plug-in's
// own diagnostic lines included, goes to standard error.

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>
#include <string>

namespace Zelm::Tool {

// Points std::cout, where the plug-in writes its diagnostic lines, at standard
// error. Results are written through Output, which uses the C stdout stream
// and so still reaches file descriptor 1.
void routeLibraryDiagnosticsToStderr();

// Points std::cout at a buffer that drops everything.
void discardLibraryDiagnostics();

// Writes whole result lines, either as text or as one JSON object per line.
// Safe to use from several threads: each line is written and flushed at once.
class Output {
public:
    explicit Output(bool json, std::FILE* stream = stdout) : json_(json), stream_(stream) {}

    bool json() const { return json_; }
    void line(const std::string& text);
    void object(const nlohmann::ordered_json& value);

private:
    bool json_;
    std::FILE* stream_;
    std::mutex mutex_;
};

// One line on standard error, prefixed with the program's name.
void reportError(const std::string& message);

}  // namespace Zelm::Tool
