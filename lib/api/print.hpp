// SPDX-License-Identifier: GPL-2.0-or-later
// A message as labelled text, one line per value.
#pragma once

#include <cstdint>

#include "api/handle.hpp"

namespace zel {

// The text of msg's values (of the enabled groups only when enabledOnly is 1), from malloc for
// the caller; null after a report when no memory is left.
char *sprintMessage(Msg &msg, uint8_t enabledOnly);

}  // namespace zel
