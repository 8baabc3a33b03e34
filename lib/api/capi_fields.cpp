// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: group switches, field setters and readers.
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/handle.hpp"

using zel::Msg;
using zel::PsdContent;
using zel::Text;

namespace {

// Replaces a text field. The new value is copied before the old one is released, so a text
// the record owns may be passed back in. NULL or "" makes the field absent.
void setText(Text &field, const char *value) {
  if (value == nullptr || *value == '\0') {
    field.reset();
    return;
  }
  try {
    field = std::string(value);
  } catch (const std::bad_alloc &) {
    field.reset();  // a copy that cannot be made leaves the field absent
  }
}

int32_t setSwitch(Msg *handle, int site, uint8_t PsdContent::*field, uint8_t value) {
  return zel::apiStatus(handle, site, [&](Msg &msg) {
    msg.edit().*field = value;
    return true;
  });
}

uint8_t readSwitch(Msg *handle, int site, uint8_t PsdContent::*field) {
  return zel::apiValue(handle, site, uint8_t{0}, [&](Msg &msg) { return msg.content().*field; });
}

int32_t setField(Msg *handle, int site, Text PsdContent::*field, const char *value) {
  return zel::apiStatus(handle, site, [&](Msg &msg) {
    setText(msg.edit().*field, value);
    return true;
  });
}

char *readField(Msg *handle, int site, Text PsdContent::*field) {
  return zel::apiValue(handle, site, static_cast<char *>(nullptr),
                       [&](Msg &msg) { return zel::dupForCaller(msg.content().*field); });
}

}  // namespace

extern "C" {

// One line a function: the table reads as the API does.
// clang-format off

// Group switches.
ZEL_MARLO_API int32_t zel_marlo_enablePsdCore(Msg *m, uint8_t e) { return setSwitch(m, 1617, &PsdContent::coreEnabled, e); }
ZEL_MARLO_API uint8_t zel_marlo_isPsdCoreEnabled(Msg *m) { return readSwitch(m, 1609, &PsdContent::coreEnabled); }
ZEL_MARLO_API int32_t zel_marlo_enablePsdComment(Msg *m, uint8_t e) { return setSwitch(m, 1635, &PsdContent::commentEnabled, e); }
ZEL_MARLO_API uint8_t zel_marlo_isPsdCommentEnabled(Msg *m) { return readSwitch(m, 1627, &PsdContent::commentEnabled); }
ZEL_MARLO_API int32_t zel_marlo_enablePsdCommercial(Msg *m, uint8_t e) { return setSwitch(m, 1653, &PsdContent::commercialEnabled, e); }
ZEL_MARLO_API uint8_t zel_marlo_isPsdCommercialEnabled(Msg *m) { return readSwitch(m, 1645, &PsdContent::commercialEnabled); }
ZEL_MARLO_API int32_t zel_marlo_enablePsdUfid(Msg *m, uint8_t e) { return setSwitch(m, 1671, &PsdContent::ufidEnabled, e); }
ZEL_MARLO_API uint8_t zel_marlo_isPsdUfidEnabled(Msg *m) { return readSwitch(m, 1663, &PsdContent::ufidEnabled); }

// Core group.
ZEL_MARLO_API int32_t zel_marlo_setPsdTitle(Msg *m, const char *v) { return setField(m, 2726, &PsdContent::title, v); }
ZEL_MARLO_API char *zel_marlo_getPsdTitle(Msg *m) { return readField(m, 2736, &PsdContent::title); }
ZEL_MARLO_API int32_t zel_marlo_setPsdArtist(Msg *m, const char *v) { return setField(m, 2744, &PsdContent::artist, v); }
ZEL_MARLO_API char *zel_marlo_getPsdArtist(Msg *m) { return readField(m, 2754, &PsdContent::artist); }
ZEL_MARLO_API int32_t zel_marlo_setPsdAlbum(Msg *m, const char *v) { return setField(m, 2762, &PsdContent::album, v); }
ZEL_MARLO_API char *zel_marlo_getPsdAlbum(Msg *m) { return readField(m, 2772, &PsdContent::album); }
ZEL_MARLO_API int32_t zel_marlo_setPsdGenre(Msg *m, const char *v) { return setField(m, 2780, &PsdContent::genre, v); }
ZEL_MARLO_API char *zel_marlo_getPsdGenre(Msg *m) { return readField(m, 2790, &PsdContent::genre); }

// Comment group.
ZEL_MARLO_API int32_t zel_marlo_setPsdComment(Msg *m, const char *title, const char *desc) {
  return zel::apiStatus(m, 2800, [&](Msg &msg) {
    PsdContent &c = msg.edit();
    setText(c.commentTitle, title);
    setText(c.commentDesc, desc);
    return true;
  });
}
ZEL_MARLO_API char *zel_marlo_getPsdCommentTitle(Msg *m) { return readField(m, 2811, &PsdContent::commentTitle); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentDesc(Msg *m) { return readField(m, 2820, &PsdContent::commentDesc); }

// Commercial group.
ZEL_MARLO_API int32_t zel_marlo_setPsdCommercial(Msg *m, const char *price, const char *validUntil,
                                                 const char *contactUrl, const char *recvAs,
                                                 const char *sellerName, const char *productDesc) {
  return zel::apiStatus(m, 2834, [&](Msg &msg) {
    PsdContent &c = msg.edit();
    setText(c.price, price);
    setText(c.validUntil, validUntil);
    setText(c.contactUrl, contactUrl);
    setText(c.recvAs, recvAs);
    setText(c.sellerName, sellerName);
    setText(c.productDesc, productDesc);
    return true;
  });
}
ZEL_MARLO_API char *zel_marlo_getPsdCommercialPrice(Msg *m) { return readField(m, 2849, &PsdContent::price); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentValidUntil(Msg *m) { return readField(m, 2857, &PsdContent::validUntil); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentContactUrl(Msg *m) { return readField(m, 2865, &PsdContent::contactUrl); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentRecvAs(Msg *m) { return readField(m, 2873, &PsdContent::recvAs); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentSellerName(Msg *m) { return readField(m, 2881, &PsdContent::sellerName); }
ZEL_MARLO_API char *zel_marlo_getPsdCommentProductDesc(Msg *m) { return readField(m, 2889, &PsdContent::productDesc); }

// UFID group.
ZEL_MARLO_API int32_t zel_marlo_setPsdUfid(Msg *m, const char *ownerId, const uint8_t *identifier,
                                           uint32_t identifierSize) {
  return zel::apiStatus(m, 2903, [&](Msg &msg) {
    PsdContent &c = msg.edit();
    // An owner id that is too long is not taken, without complaint; the identifier is still
    // replaced.
    if (ownerId == nullptr || std::strlen(ownerId) <= zel::kMaxUfidOwnerId)
      setText(c.ufidOwnerId, ownerId);
    c.ufidIdentifier.clear();
    c.ufidIdentifier.shrink_to_fit();
    if (identifierSize > zel::kMaxUfidIdentifier) return false;
    if (identifier != nullptr) c.ufidIdentifier.assign(identifier, identifier + identifierSize);
    return true;
  });
}
ZEL_MARLO_API char *zel_marlo_getPsdUfidOwnerId(Msg *m) { return readField(m, 2938, &PsdContent::ufidOwnerId); }

ZEL_MARLO_API uint8_t *zel_marlo_getPsdUfidIdentifier(Msg *m) {
  return zel::apiValue(m, 2954, static_cast<uint8_t *>(nullptr), [](Msg &msg) -> uint8_t * {
    const auto &id = msg.content().ufidIdentifier;
    if (id.empty()) return nullptr;
    auto *copy = static_cast<uint8_t *>(std::malloc(id.size()));
    if (copy != nullptr) std::memcpy(copy, id.data(), id.size());
    return copy;
  });
}

// No handle check of its own and no log line; an invalid handle simply has no identifier.
ZEL_MARLO_API uint32_t zel_marlo_getPsdUfidIdentifierSize(Msg *m) {
  if (!zel::isValid(m)) return 0;
  return static_cast<uint32_t>(m->content().ufidIdentifier.size());
}

// clang-format on

}  // extern "C"
