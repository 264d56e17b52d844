// The port list as `orlo ports` prints it: one line a port in aligned columns, under a heading.
#pragma once

#include <string>
#include <vector>

#include "serial/PortTable.h"

namespace orlo::cli {

// The heading and one line per port: COM name, device, USB vendor:product, serial number,
// driver, product (and maker), and the stable link (by-id, else by-path); "-" where the system
// does not say.
std::vector<std::string> PortListingLines(const std::vector<PortInfo>& ports);

}  // namespace orlo::cli
