// SPDX-License-Identifier: GPL-2.0-or-later
// Owning handles for libid3tag objects. Internal: the public header never sees libid3tag.
//
// A tag owns the frames attached to it; a frame that is not (yet) attached is its creator's.
// attachFrame hands a frame over only when libid3tag took it, so every path releases each
// object exactly once.
#pragma once

#include <id3tag.h>

#include <memory>

namespace zel::id3 {

struct Id3TagDeleter {
  void operator()(id3_tag *tag) const { id3_tag_delete(tag); }
};
struct Id3FrameDeleter {
  void operator()(id3_frame *frame) const { id3_frame_delete(frame); }
};

using Id3Tag = std::unique_ptr<id3_tag, Id3TagDeleter>;
using Id3Frame = std::unique_ptr<id3_frame, Id3FrameDeleter>;

// Appends frame to tag. On success the tag owns the frame and frame is empty; on failure frame
// keeps it (and releases it when it goes out of scope).
inline bool attachFrame(id3_tag &tag, Id3Frame &frame) {
  if (!frame || id3_tag_attachframe(&tag, frame.get()) != 0) return false;
  frame.release();
  return true;
}

}  // namespace zel::id3
