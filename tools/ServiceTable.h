#pragma once

// The rows that `discover` prints: one per service, with its address.

#include <string>
#include <vector>

namespace Zelm::Tool {

struct ServiceRow {
    std::string name;
    std::string type;
    std::string domain;
    std::string host;
    std::string address;
    int port = -1;        // -1 when the service could not be resolved
    std::string txt;      // entries as text
    std::string problem;  // empty when resolved and looked up
};

// Sorts by type, then name.
void sortRows(std::vector<ServiceRow>& rows);

// An aligned text table with a header line; "-" marks a missing value.
std::vector<std::string> formatTable(const std::vector<ServiceRow>& rows);

}  // namespace Zelm::Tool
