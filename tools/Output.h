#pragma once

// The tool's results go to standard output as events; everything else goes to
// standard error.

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace Zelm::Tool {

// The version of the JSON events (zelm-mdns.schema.json): raised on any change
// that could break a reader; within a version, fields are only added.
constexpr int kSchemaVersion = 1;

// One result: its kind ("found", "resolved", ...) and its fields in order.
// `text` holds what the text line shows instead of a field, or besides them.
struct Event {
    std::string kind;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    nlohmann::ordered_json text = nlohmann::ordered_json::object();
};

// Writes events either as one JSON object per line ("event" and "schema"
// first) or as the text line that their kind's template in Output.cpp makes
// of the fields.
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
