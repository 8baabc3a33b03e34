// SPDX-License-Identifier: GPL-2.0-or-later
// The status page served at "/": one HTML document with its style and script inline, built into
// the binary so that nothing is installed or fetched from elsewhere.
#pragma once

#include <string_view>

namespace marlod {

extern const std::string_view kStatusPage;

}  // namespace marlod
