#include "ServiceTable.h"

#include <algorithm>
#include <array>

namespace Zelm::Tool {

void sortRows(std::vector<ServiceRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const ServiceRow& a, const ServiceRow& b) {
        return a.type != b.type ? a.type < b.type : a.name < b.name;
    });
}

std::vector<std::string> formatTable(const std::vector<ServiceRow>& rows) {
    constexpr std::size_t columns = 6;
    using Cells = std::array<std::string, columns>;
    std::vector<Cells> cells{{"NAME", "TYPE", "HOST", "ADDRESS", "PORT", "TXT"}};
    const auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    for (const ServiceRow& row : rows) {
        cells.push_back({orDash(row.name), orDash(row.type), orDash(row.host), orDash(row.address),
                         row.port < 0 ? "-" : std::to_string(row.port), row.txt});
    }

    std::array<std::size_t, columns> width{};
    for (const Cells& line : cells) {
        for (std::size_t c = 0; c < columns; ++c) {
            width[c] = std::max(width[c], line[c].size());
        }
    }
    std::vector<std::string> lines;
    for (const Cells& line : cells) {
        std::string text;
        for (std::size_t c = 0; c < columns; ++c) {
            text += line[c];
            if (c + 1 < columns) {
                text += std::string(width[c] - line[c].size() + 2, ' ');
            }
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        lines.push_back(text);
    }
    return lines;
}

}  // namespace Zelm::Tool
