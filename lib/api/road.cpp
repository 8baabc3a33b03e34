// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/road.hpp"

#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "api/message.hpp"
#include "api/vesk_link.hpp"
#include "common/heap.hpp"
#include "psdmsg/psdmsg.hpp"
#include "psdxfer/psdxfer.hpp"

namespace zel {

namespace {

// The container the library builds: type PSD, format ID3, no extension header, parameter 1.
constexpr uint8_t kPsdTypePsd = 0;
constexpr uint8_t kPsdFormatId3 = 1;
constexpr uint16_t kPsdParam = 1;

// The end of every successful receive: keep the container of a packet that has a payload and
// report the message id. A PSD packet without one leaves nothing to parse (the earlier
// message is not parsed again); a flush leaves an earlier container in place.
void keepReceived(Msg &msg, const Unpacked &packet, ZEL_MARLO_MSG_ID_t *msgId) {
  if (packet.length != 0 && packet.payload != nullptr)
    msg.rxPayload.emplace(packet.payload, packet.payload + packet.length);
  else if (packet.msgId == ZEL_MARLO_MSG_ID_PSD)
    msg.rxPayload.reset();
  if (msgId != nullptr) *msgId = static_cast<ZEL_MARLO_MSG_ID_t>(packet.msgId);
}

// The fields of a parsed container.
struct Container {
  const uint8_t *payload = nullptr;
  uint8_t reserved = 0, type = 0, format = 0, options = 0;
  uint16_t param = 0, contentId = 0;
  uint32_t payloadLength = 0;
};

// Report sites of the container check: the send's verification of its own packet and parse.
struct ContainerSites {
  int parse, type, format;
};
constexpr ContainerSites kVerifySites{2275, 2286, 2297};
constexpr ContainerSites kParseSites{1704, 1718, 1732};

// Parses a container and checks that it holds a PSD message (type PSD, format ID3).
bool checkContainer(Msg &msg, const uint8_t *bytes, uint32_t size, const ContainerSites &site,
                    Container &c) {
  if (psdmsg_parse(bytes, size, &c.payload, &c.reserved, &c.type, &c.format, &c.options, &c.param,
                   &c.contentId, &c.payloadLength) != 1) {
    reportPsdError(msg.error, VESK_PARSE, site.parse, "psdmsg_parse error  ");
    return false;
  }
  if (c.type != kPsdTypePsd) {
    reportPsdError(msg.error, ZEL_MARLO_TYPE, site.type, "psd Type field not PSD !! error  ");
    return false;
  }
  if (c.format != kPsdFormatId3) {
    reportPsdError(msg.error, ZEL_MARLO_FORMAT, site.format, "psd Format field not ID3 !! error  ");
    return false;
  }
  return true;
}

}  // namespace

int32_t sendPsd(Msg &msg, const char *host, int32_t port) {
  if (!msg.container) {
    reportPsdError(msg.error, E_SEND, 2190, "no PSD message created to send ");
    return ZEL_MARLO_FAILURE;
  }
  Packet packet(msg.container->size() + zel_vesk_overhead(msg.vesk));
  const bool packed = pack(msg.vesk, ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_PSD,
                           *msg.container, packet) == VESK_OK;
  if (!packed)
    reportPsdError(msg.error, XFER_RX, 2213, "zel_vesk_pack fail [ %s ]", veskText(msg.vesk));
  msg.container.reset();  // consumed, sent or not

  if (port < 1) port = ZEL_MARLO_DEFAULT_PORT;
  if (packed) psdxfer_sendTo(port, host, packet.data, packet.size);  // a lost datagram is no error

  // Verify the packet just built. After a failed pack this fails as well, so the log shows the
  // pack, unpack and parse reports in that order.
  Unpacked own;
  if (unpack(msg.vesk, ZEL_MARLO_VESK_TYPE_AFL_CL, packet.data, packed ? packet.size : 0, own) !=
      VESK_OK)
    reportPsdError(msg.error, XFER_RX, 2256, "zel_vesk_unpack fail [ %s ]", veskText(msg.vesk));
  Container c;
  if (!checkContainer(msg, own.payload, own.length, kVerifySites, c)) return ZEL_MARLO_FAILURE;
  return packed ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE;
}

int32_t sendFlush(Msg &msg, const char *host, int32_t port) {
  Packet packet(zel_vesk_overhead(msg.vesk));
  const bool packed =
      pack(msg.vesk, ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_FLUSH, {}, packet) == VESK_OK;
  if (!packed)
    reportPsdError(msg.error, XFER_RX, 2353, "zel_vesk_pack fail [ %s ]", veskText(msg.vesk));
  if (port < 1) port = ZEL_MARLO_DEFAULT_PORT;
  if (packed) psdxfer_sendTo(port, host, packet.data, packet.size);
  return packed ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE;
}

namespace {

// Report sites of the two paths of sendPsdMsgToBuffer.
struct BufferSites {
  int packShared, initTemp, packTemp, badKind;
};
constexpr BufferSites kPsdSites{2448, 2471, 2514, 2535};
constexpr BufferSites kFlushSites{2602, 2616, 2659, 2674};

// The datagram psdxfer_recv hands over, released with free.
struct Datagram {
  ~Datagram() { std::free(data); }
  uint8_t *data = nullptr;
  uint32_t size = 0;
};

}  // namespace

int32_t sendToBuffer(Msg &msg, uint8_t **buffer, uint32_t *length, ZEL_MARLO_VESK_TYPE_t kind,
                     ZEL_MARLO_MSG_ID_t msgId) {
  if (buffer == nullptr || length == nullptr) return ZEL_MARLO_FAILURE;
  const bool psd = msgId == ZEL_MARLO_MSG_ID_PSD;
  const BufferSites &site = psd ? kPsdSites : kFlushSites;
  if (kind != ZEL_MARLO_VESK_TYPE_AFL_CL && kind != ZEL_MARLO_VESK_TYPE_CL) {
    reportPsdError(msg.error, XFER_RX, site.badKind, "unsupported ZEL_MARLO_VESK_TYPE_t [ %d ]",
                   kind);
    return ZEL_MARLO_FAILURE;
  }
  if (psd && !msg.container) {
    reportPsdError(msg.error, E_SEND, 2421, "no PSD message created to send ");
    return ZEL_MARLO_FAILURE;
  }

  std::span<const uint8_t> payload;
  if (psd) payload = *msg.container;

  // Kind 0 packs with the shared two-layer handle, kind 1 with a CL handle made for this call.
  TempClHandle cl(kind == ZEL_MARLO_VESK_TYPE_CL);
  veskHandle *vesk = msg.vesk;
  int packSite = site.packShared;
  if (kind == ZEL_MARLO_VESK_TYPE_CL) {
    if (cl.h == nullptr) {
      reportPsdError(msg.error, XFER_RX, site.initTemp, "zel_vesk_init fail [ %s ]",
                     veskText(cl.h));
      return ZEL_MARLO_FAILURE;  // a prepared container stays
    }
    vesk = cl.h;
    packSite = site.packTemp;
  }
  Packet out(payload.size() + zel_vesk_overhead(vesk));
  const uint32_t rc = pack(vesk, kind, static_cast<uint32_t>(msgId), payload, out);
  if (rc != VESK_OK)
    reportPsdError(msg.error, XFER_RX, packSite, "zel_vesk_pack fail [ %s ]", veskText(vesk));
  if (psd) msg.container.reset();  // consumed once packing was attempted

  // The buffer is the caller's whenever packing was attempted.
  *length = rc == VESK_OK ? out.size : 0;
  *buffer = out.release();
  return rc == VESK_OK ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE;
}

int32_t recvFromBuffer(Msg &msg, const uint8_t *bytes, uint32_t count, ZEL_MARLO_VESK_TYPE_t kind,
                       ZEL_MARLO_MSG_ID_t *msgId) {
  Unpacked packet;
  if (kind == ZEL_MARLO_VESK_TYPE_AFL_CL) {
    if (unpack(msg.vesk, kind, bytes, count, packet) != VESK_OK) {
      reportPsdError(msg.error, XFER_RX, 2021, "zel_vesk_unpack fail [ %s ]", veskText(msg.vesk));
      return ZEL_MARLO_FAILURE;
    }
  } else if (kind == ZEL_MARLO_VESK_TYPE_CL) {
    TempClHandle cl;
    if (cl.h == nullptr) {
      reportPsdError(msg.error, XFER_RX, 2053, "zel_vesk_init fail [ %s ]", veskText(cl.h));
      return ZEL_MARLO_FAILURE;
    }
    if (unpack(cl.h, kind, bytes, count, packet) != VESK_OK) {
      reportPsdError(msg.error, XFER_RX, 2077, "zel_vesk_unpack fail [ %s ]", veskText(cl.h));
      return ZEL_MARLO_FAILURE;
    }
  } else {
    reportPsdError(msg.error, XFER_RX, 2109, "unsupported ZEL_MARLO_VESK_TYPE_t [ %d ]", kind);
    return ZEL_MARLO_FAILURE;
  }
  keepReceived(msg, packet, msgId);
  return ZEL_MARLO_SUCCESS;
}

int32_t recvFromNetwork(Msg &msg, int32_t port, ZEL_MARLO_MSG_ID_t *msgId) {
  psdxfer_link *link = nullptr;
  if (psdxfer_openRx(&link, port) != 1) {
    reportPsdError(msg.error, XFER_RX, 1917, "error in the psdxfer_openRx ");
    return ZEL_MARLO_FAILURE;
  }
  Datagram datagram;
  if (psdxfer_recv(link, &datagram.data, &datagram.size) != 1) {
    psdxfer_close(&link);
    reportPsdError(msg.error, XFER_RX, 1932, "error in the psdxfer_recv ");
    return ZEL_MARLO_FAILURE;
  }
  if (psdxfer_close(&link) != 1) {
    reportPsdError(msg.error, XFER_RX, 1946, "error in the psdxfer_close ");
    return ZEL_MARLO_FAILURE;
  }
  Unpacked packet;
  if (unpack(msg.vesk, ZEL_MARLO_VESK_TYPE_AFL_CL, datagram.data, datagram.size, packet) !=
      VESK_OK) {
    reportPsdError(msg.error, XFER_RX, 1966, "zel_vesk_unpack fail [ %s ]", veskText(msg.vesk));
    return ZEL_MARLO_FAILURE;
  }
  keepReceived(msg, packet, msgId);
  return ZEL_MARLO_SUCCESS;
}

bool parseReceived(Msg &msg, uint16_t *contentId) {
  // The received container is released whatever the outcome.
  std::optional<std::vector<uint8_t>> received = std::exchange(msg.rxPayload, std::nullopt);
  Container c;
  const uint8_t *bytes = received ? received->data() : nullptr;
  const auto size = received ? static_cast<uint32_t>(received->size()) : 0u;
  if (!checkContainer(msg, bytes, size, kParseSites, c)) return false;
  if (contentId != nullptr) *contentId = c.contentId;

  const std::span<const uint8_t> tag =
      c.payload != nullptr ? std::span(c.payload, c.payloadLength) : std::span<const uint8_t>();
  if (!takeOverTag(msg, tag)) {
    reportPsdError(msg.error, SET_ID3, 1766, "cannot set the id3Msg ");
    return false;
  }
  return true;
}

bool createContainer(Msg &msg, int32_t contentId) {
  // A create that fails leaves nothing to send: the earlier message must not go out in place of
  // the one that failed.
  msg.container.reset();
  id3::EncodedTag id3;
  if (!encodeMessage(msg, id3)) return false;
  if (id3.length == 0) {
    reportPsdError(msg.error, E_SEND, 1809, "cannot send zero length pad message ");
    return false;
  }
  uint8_t *container = nullptr;
  auto length = static_cast<uint32_t>(id3.length);
  if (psdmsg_create(&container, id3.data.get(), kPsdTypePsd, kPsdFormatId3, 0, kPsdParam,
                    static_cast<uint16_t>(contentId), &length) != 1) {
    std::free(container);
    reportPsdError(msg.error, ZEL_MARLO_FORMAT, 1837, "error in the psdmsg_create ");
    return false;
  }
  msg.container.emplace(container, container + length);
  std::free(container);
  return true;
}

bool sendRawTag(Msg &msg, const char *host, int32_t port) {
  id3::EncodedTag id3;
  if (!encodeMessage(msg, id3)) return false;
  psdxfer_sendTo(port, host, id3.data.get(), static_cast<uint32_t>(id3.length));  // port as given
  return true;
}

bool messageLength(Msg &msg, uint32_t *length) {
  if (!checkMessage(msg)) return false;
  if (length != nullptr) *length = *msg.checkedLength();
  return true;
}

}  // namespace zel
