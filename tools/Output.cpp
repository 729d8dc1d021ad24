#include "Output.h"

#include "Printable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

namespace Zelm::Tool {

namespace {

// The text form of each kind of event. {field} is the field's value, "-" when
// it is missing; a [part] is left out unless every field it names is there; a
// tab separates the columns of a table. Kinds without a line here (failures,
// which stderr reports) print nothing as text.
const std::map<std::string, std::string> textLines{
    {"found", "found\t\"{name}\"\t{service}[\ton {interface_name}]"},
    {"summary",
     "[{instances} instance(s) of {type} ({reports} report(s) in {timeout_ms} ms)]"
     "[{types} service type(s) in {timeout_ms} ms][{services} service(s), {resolved} resolved]"
     "[, interrupted by {interrupted} before the time-out]"},
    {"domain", "{domain}\t{source}"},
    {"type", "{type}\t{domain}"},
    {"resolved", "{fullname}\t{host}:{port}\t{txt}"},
    {"address", "{host}\t{address}"},
    {"registered", "registered \"{name}\" {type} port {port}[ ({note})]"},
    {"withdrawn", "withdrawn \"{name}\" ({reason})"},
    {"service", "{name}\t{type}\t{host}\t{address}\t{port}\t{txt}"},
    {"check", "{status}\t{check}: {detail}[; {hint}]"},
};

// Text from the network as printable() shows it; other values as JSON writes them.
std::string valueText(const nlohmann::ordered_json& value) {
    return value.is_string() ? printable(value.get<std::string>()) : value.dump();
}

std::string fill(const std::string& pattern, const Event& event) {
    std::string out;
    std::string part;
    bool inPart = false;
    bool complete = true;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '[' || pattern[i] == ']') {
            if (pattern[i] == ']' && complete) out += part;
            inPart = pattern[i] == '[';
            complete = true;
            part.clear();
        } else if (pattern[i] != '{') {
            (inPart ? part : out) += pattern[i];
        } else {
            const std::size_t end = pattern.find('}', i);
            const std::string name = pattern.substr(i + 1, end - i - 1);
            const bool shown = event.text.contains(name);
            const bool present = shown || event.fields.contains(name);
            complete = complete && present;
            (inPart ? part : out) += shown     ? event.text.at(name).get<std::string>()
                                     : present ? valueText(event.fields.at(name))
                                               : "-";
            i = end;
        }
    }
    return out;
}

std::vector<std::string> columns(const std::string& line) {
    std::vector<std::string> cells;
    std::istringstream stream(line);
    for (std::string cell; std::getline(stream, cell, '\t');) cells.push_back(cell);
    return cells;
}

// The column names of a table: the first field each column shows, in capitals.
std::vector<std::string> header(const std::string& pattern) {
    std::vector<std::string> names;
    for (const std::string& column : columns(pattern)) {
        const std::size_t open = column.find('{');
        std::string name = column.substr(open + 1, column.find('}') - open - 1);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return std::toupper(c); });
        names.push_back(name);
    }
    return names;
}

}  // namespace

void Output::emit(const Event& event) {
    if (json_) {
        nlohmann::ordered_json object{{"event", event.kind}, {"schema", kSchemaVersion}};
        object.update(event.fields);
        // Names and TXT values come from the network: bytes that are not
        // UTF-8 are replaced instead of aborting the output.
        write(object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        return;
    }
    const auto line = textLines.find(event.kind);
    if (line == textLines.end()) return;
    std::string text;
    for (const std::string& cell : columns(fill(line->second, event))) {
        text += (text.empty() ? "" : "  ") + cell;
    }
    write(text);
}

void Output::table(const std::vector<Event>& events) {
    const auto line = events.empty() ? textLines.end() : textLines.find(events.front().kind);
    if (json_ || line == textLines.end()) {
        for (const Event& event : events) emit(event);
        return;
    }
    std::vector<std::vector<std::string>> rows{header(line->second)};
    for (const Event& event : events) rows.push_back(columns(fill(line->second, event)));
    // Columns line up on a terminal by display width: "ü" takes two bytes and one column.
    std::vector<std::size_t> width(rows.front().size());
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], displayWidth(row[c]));
    }
    for (const auto& row : rows) {
        std::string text;
        for (std::size_t c = 0; c < row.size(); ++c) {
            text +=
                row[c] + (c + 1 < row.size() ? std::string(width[c] - displayWidth(row[c]) + 2, ' ') : "");
        }
        write(text.substr(0, text.find_last_not_of(' ') + 1));
    }
}

void Output::write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void reportError(const std::string& message) {
    const std::string line = "zelm-mdns: " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace Zelm::Tool
