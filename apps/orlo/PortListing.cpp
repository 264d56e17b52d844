#include "PortListing.h"

#include <algorithm>

namespace orlo::cli {

namespace {

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// What the port is, in words: the USB product and maker, else the table's description.
std::string What(const PortInfo& p) {
    if (p.product.empty() && p.manufacturer.empty()) {
        // The description's first part, before the details the other columns show.
        return p.description.substr(0, p.description.find(", "));
    }
    std::string text = p.product.empty() ? "USB serial port" : p.product;
    if (!p.manufacturer.empty()) text += " (" + p.manufacturer + ")";
    return text;
}

}  // namespace

std::vector<std::string> PortListingLines(const std::vector<PortInfo>& ports) {
    std::vector<std::vector<std::string>> rows = {
        {"COM", "DEVICE", "USB ID", "SERIAL", "DRIVER", "PRODUCT", "LINK"}};
    for (const PortInfo& p : ports) {
        rows.push_back({p.comName.empty() ? "-" : p.comName, p.devicePath,
                        p.vendorId.empty() ? "-" : p.vendorId + ":" + p.productId,
                        OrDash(p.serialNumber), OrDash(p.driver), OrDash(What(p)),
                        OrDash(p.byId.empty() ? p.byPath : p.byId)});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace orlo::cli
