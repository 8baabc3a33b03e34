// SPDX-License-Identifier: GPL-2.0-or-later
// ID3 files: exactly one tag, nothing before or after it.
#pragma once

#include "api/handle.hpp"

namespace zel {

// Replaces msg's values by those of the tag at the start of the file (decoded and validated as
// any received tag). Failures leave msg's values as they were.
bool loadId3File(Msg &msg, const char *path);

// Checks and encodes msg and writes the tag to path, created or cut to zero length. A
// message that fails validation creates no file.
bool saveId3File(Msg &msg, const char *path);

}  // namespace zel
