#pragma once

// The tool's results go to standard output as events; everything else goes to
// standard error.

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace Zelm::Tool {

// One result: its kind ("found", "resolved", ...) and its fields in order.
struct Event {
    std::string kind;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
};

// Writes events either as one JSON object per line ("event" first) or as the
// text line that their kind's template in Output.cpp makes of the fields.
// Safe to use from several threads: each line is written and flushed at once.
class Output {
public:
    explicit Output(bool json) : json_(json) {}

    void emit(const Event& event);
    // Events of one kind; as text, an aligned table under a header line.
    void table(const std::vector<Event>& events);

private:
    void write(const std::string& text);

    bool json_;
    std::mutex mutex_;
};

// One line on standard error, prefixed with the program's name.
void reportError(const std::string& message);

}  // namespace Zelm::Tool
