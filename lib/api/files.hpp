// SPDX-License-Identifier: GPL-2.0-or-later
// ID3 files: exactly one tag, nothing before or after it.
#pragma once

#include "api/handle.hpp"

namespace zel {

// Replaces msg's values by those of the tag at the start of the file (decoded and validated as
// any received tag). Only the tag is read: its header, the size it announces and a v2.4
// footer, whatever follows it in the file. Failures leave msg's values as they were.
bool loadId3File(Msg &msg, const char *path);

// Checks and encodes msg and writes the tag to path. A regular file the caller may write and
// whose owner and group it can keep, or a path where nothing is yet, is replaced as a whole: the
// tag goes into a new file in the same folder (unnamed until just before the rename where the
// file system allows), which takes over the old file's owner, group and permission bits and is
// renamed over it, so a reader never sees it empty or half-written and a failed save leaves the
// old file as it was. Everything else is written in place, as saves always were: a device, a
// FIFO, a symbolic link, a file the caller may not write (refused), a file whose owner or group
// the caller cannot give away, a file whose folder takes no new file or refuses the rename. A
// message that fails validation creates no file.
bool saveId3File(Msg &msg, const char *path);

}  // namespace zel
