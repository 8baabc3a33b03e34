// SPDX-License-Identifier: GPL-2.0-or-later
// The text road of the bridge: template, transliterate, clean up, trim. What comes out always
// fits one ID3 tag of the library.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "config.hpp"
#include "item.hpp"
#include "zel_marlo.h"

namespace marlod {

using Fields = SixFields<std::string>;

// A message as the bridge renders it from an item, before any exciter's encoding: its identity.
struct Rendered {
  Fields fields;           // UTF-8, templated and cleaned up
  std::string ufid_owner;  // empty: no UFID group
  std::string ufid_id;     // isrc, else id
  bool operator==(const Rendered &) const = default;
  bool empty() const;  // no text in any field and no UFID: a flush only
};

// A message for one encoding, as it goes on air.
struct Fitted {
  Fields fields;     // UTF-8; for ID3 encoding 0 every character is within Latin-1
  int id3_encoding;  // ZEL_MARLO_ID3_ENC_ISO_8859_1, _UTF_16 or _UTF_8
};

// Expands one template: {key} takes the value from lookup (empty when unknown), a bracketed
// part disappears when any key in it is empty, \[ \] \{ \} \\ write the character itself.
template <class Lookup>
std::string expand(std::string_view tmpl, const Lookup &lookup);
std::string expand_item(std::string_view tmpl, const Item &item, std::string_view station);

// Control characters removed, white space collapsed and trimmed.
std::string clean(std::string_view utf8);

class TextRoad {
 public:
  // Creates and warms up the transliterator; throws std::runtime_error when ICU cannot.
  explicit TextRoad(const Config &config);
  ~TextRoad();
  TextRoad(const TextRoad &) = delete;
  TextRoad &operator=(const TextRoad &) = delete;

  // Templates (the item's, or the fallback's when fallback is set) and clean-up.
  Rendered render(const Item &item) const;
  Rendered render_fallback() const;

  // What Latin-1 lacks transliterated, what is still outside it removed (then cleaned up).
  std::string to_latin1_text(std::string_view utf8) const;

  // For one encoding: transliterated for latin1 (and for automatic when that keeps every
  // character), cut to the limits and to one tag.
  Fitted fit(const Rendered &message, Encoding encoding) const;

  // Puts a fitted message into a handle (Latin-1 bytes for encoding 0, UTF-8 otherwise), with
  // the groups switched on that have content. Returns false with the library's report in why.
  static bool load(ZEL_MARLO_PSD_MSG_t *handle, const Fitted &fitted, const Rendered &message,
                   std::string *why);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace marlod
