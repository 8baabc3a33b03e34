/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * zel_marlo.h - build, check, encode, send and receive PSD messages.
 *
 * A PSD message is a small metadata record (title, artist, album, genre, a comment, a
 * commercial offer, a unique file identifier) that travels beside a digital radio programme.
 * The library turns it into an ID3v2.3 tag, wraps the tag in a PSD container, packs that into
 * a VESK packet and sends it as one UDP datagram; the receiving side runs the road backwards.
 *
 * Conventions of the whole API:
 *  - Functions that succeed or fail return ZEL_MARLO_SUCCESS (1) or ZEL_MARLO_FAILURE (2).
 *  - Every function that takes a handle checks it first. A bad handle writes the line
 *    "orvoapi[<n>]: BAD HANDLE - handle=0x<h>" to the error log (when the log is on) and the
 *    function returns its failure value: 2, 0 for flag readers, NULL for text and byte readers.
 *    The library keeps the set of handles it has allocated and not yet deleted, and reads
 *    nothing through a pointer that is not one of them: a deleted handle, a foreign or
 *    misaligned pointer or a pointer into a small block is rejected without being read. An
 *    address that a new handle has been given since is, unavoidably, that new handle: calls
 *    with a deleted handle whose address was reused act on the new one.
 *  - Failures are recorded in the handle: an error number (zel_marlo_getErrorNum) and a report
 *    text of the form "orvo[<site>]: <CATEGORY> <text>" (zel_marlo_getErrorStr).
 *  - Every text or byte block the library hands out is the caller's: release it with free(),
 *    except ID3 tags (zel_marlo_freeId3PsdMsg) and the version text (the library's own).
 *  - Threads: distinct handles may be used on distinct threads at the same time (the
 *    process-wide state - the shared VESK handle, the set of live handles, the error log - is
 *    set up once and locked; each log line is written whole). One handle is used by one
 *    thread at a time. The error log stream is written under the library's lock only.
 *  - zel_marlo_saveId3PsdFile replaces a regular file the caller may write and whose owner and
 *    group it can keep (or creates one) through a new file in the same folder, which takes the
 *    old file's owner, group and permission bits and is renamed over it: a reader sees the old
 *    tag or the new one, never a part; one that holds the old file open keeps reading the old
 *    tag; hard links, ACLs and extended attributes are not carried over; a failed save leaves
 *    the old file as it was. The new file has no name until just before the rename where the
 *    file system allows, else ".zel-save-<pid>-<n>". Written in place, as a save always was: a
 *    device, FIFO or symbolic link; a file the caller may not write (refused); a file whose
 *    owner or group the caller cannot give away (a group-shared file, another user's file in
 *    a sticky folder), which keeps them; a file in a folder that takes no new file or refuses
 *    the rename. zel_marlo_loadId3PsdFile reads only the tag the file begins with.
 */
#ifndef ZEL_MARLO_H
#define ZEL_MARLO_H

#include <stdint.h>
#include <stdio.h>

#include "zel_marlo_version.h" /* ZEL_MARLO_VERSION_MAJOR, _MINOR, _PATCH, _NUMBER */

#if defined(_WIN32)
#if defined(ZEL_MARLO_BUILDING)
#define ZEL_MARLO_API __declspec(dllexport)
#else
#define ZEL_MARLO_API __declspec(dllimport)
#endif
#else
#define ZEL_MARLO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status, error numbers, message ids, packet kinds -------------------------------- */

#define ZEL_MARLO_SUCCESS 1
#define ZEL_MARLO_FAILURE 2

/* Error numbers; the name of each is also the category word its reports print. */
typedef int32_t ZEL_MARLO_ERROR_t;
#define ZEL_MARLO_E_NONE 0
#define E_SYSTEM 1         /* a memory allocation failed */
#define ZEL_MARLO_TYPE 2   /* a received container's type is not PSD */
#define ZEL_MARLO_FORMAT 3 /* a received container's format is not ID3, or building one failed */
#define VESK_PARSE 4       /* a received container cannot be parsed */
#define E_SEND 7           /* an empty message was to be sent */
#define E_FILE 8           /* opening, examining, reading or writing an ID3 file failed */
#define E_FORMAT 9         /* validation failed; ID3 content missing, unparsable or too long */
#define XFER_RX 10         /* UDP transfer, packing or unpacking failed; unsupported kind or id */
#define SET_ID3 11         /* setting the message from received ID3 content failed */
#define E_VESK_INIT 12     /* creating or configuring the library-wide VESK handle failed */

/* Message ids: the CL header's message id on the wire. */
typedef int32_t ZEL_MARLO_MSG_ID_t;
#define ZEL_MARLO_MSG_ID_PSD 0   /* the packet carries a PSD container */
#define ZEL_MARLO_MSG_ID_FLUSH 1 /* the packet has no payload */

/* Packet kinds of the buffer operations. */
typedef int32_t ZEL_MARLO_VESK_TYPE_t;
#define ZEL_MARLO_VESK_TYPE_AFL_CL 0 /* AFL packet with CRC carrying a CL packet */
#define ZEL_MARLO_VESK_TYPE_CL 1     /* CL packet alone */

/* ID3 text encodings of a handle. */
#define ZEL_MARLO_ID3_ENC_ISO_8859_1 0
#define ZEL_MARLO_ID3_ENC_UTF_16 1   /* byte-order mark FE FF, then UTF-16 big-endian */
#define ZEL_MARLO_ID3_ENC_UTF_16BE 2 /* UTF-16 big-endian, no mark */
#define ZEL_MARLO_ID3_ENC_UTF_8 3

#define ZEL_MARLO_DEFAULT_PORT 11000   /* exciter port used by zel_marlo_sendPsdMsg for port < 1 */
#define ZEL_MARLO_MAX_ID3_MSG_LEN 1024 /* largest ID3 tag a message may encode to */

/* The PSD message handle; opaque. */
typedef struct ZEL_MARLO_PSD_MSG_s ZEL_MARLO_PSD_MSG_t;

/* One complete ID3 tag on the library's heap; release with zel_marlo_freeId3PsdMsg. */
typedef struct {
  uint32_t length;
  uint8_t *data;
} ZEL_MARLO_ID3_PSD_MSG_t;

/* ---- Handle and errors ------------------------------------------------------------------ */

/* Allocates a handle into *psdMsg: core group on, everything else empty. The first handle of a
 * process also sets up the library-wide VESK handle. */
ZEL_MARLO_API int32_t zel_marlo_allocPsdMsg(ZEL_MARLO_PSD_MSG_t **psdMsg);
/* Releases the handle and everything it owns; the handle must not be used afterwards. */
ZEL_MARLO_API int32_t zel_marlo_deletePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* Drops every value, container and error of the handle and restores the default group switches. */
ZEL_MARLO_API int32_t zel_marlo_clearPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* Number of the handle's last error (0 = none); 2 for a bad handle. */
ZEL_MARLO_API int32_t zel_marlo_getErrorNum(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* Report text of the handle's last error, or NULL. The text stays the handle's: valid until the
 * next error, clear or delete of that handle. */
ZEL_MARLO_API const char *zel_marlo_getErrorStr(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* enable 1: write every report to stream (stdout when NULL), one per line, flushed.
 * Any other value switches the log off. */
ZEL_MARLO_API int32_t zel_marlo_enableErrorLog(uint8_t enable, FILE *stream);
/* Releases an ID3 tag record the library handed out (its data, then the record).
 * Returns 2 and releases nothing for NULL or a record without data. */
ZEL_MARLO_API int32_t zel_marlo_freeId3PsdMsg(ZEL_MARLO_ID3_PSD_MSG_t *id3Msg);

/* ---- Group switches ----------------------------------------------------------------------
 * A group is encoded, sent and printed (when asked for enabled groups only) exactly when its
 * switch holds 1. The setters store the byte as given; the readers return it (0 on a bad handle).
 */
ZEL_MARLO_API int32_t zel_marlo_enablePsdCore(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enable);
ZEL_MARLO_API uint8_t zel_marlo_isPsdCoreEnabled(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API int32_t zel_marlo_enablePsdComment(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enable);
ZEL_MARLO_API uint8_t zel_marlo_isPsdCommentEnabled(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API int32_t zel_marlo_enablePsdCommercial(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enable);
ZEL_MARLO_API uint8_t zel_marlo_isPsdCommercialEnabled(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API int32_t zel_marlo_enablePsdUfid(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enable);
ZEL_MARLO_API uint8_t zel_marlo_isPsdUfidEnabled(ZEL_MARLO_PSD_MSG_t *psdMsg);

/* ---- Field setters -----------------------------------------------------------------------
 * Each setter copies its texts; a NULL or empty text makes the field absent. Setters check
 * nothing but the handle: zel_marlo_validatePsdMsg checks the values.
 */
ZEL_MARLO_API int32_t zel_marlo_setPsdTitle(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *title);
ZEL_MARLO_API int32_t zel_marlo_setPsdArtist(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *artist);
ZEL_MARLO_API int32_t zel_marlo_setPsdAlbum(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *album);
ZEL_MARLO_API int32_t zel_marlo_setPsdGenre(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *genre);
/* Comment short description (title) and text (desc). */
ZEL_MARLO_API int32_t zel_marlo_setPsdComment(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *title,
                                              const char *desc);
/* Commercial offer: price ("USD10.0"), validUntil (YYYYMMDD), contact URL, received-as code
 * (decimal 0 to 8), seller name and product description. */
ZEL_MARLO_API int32_t zel_marlo_setPsdCommercial(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *price,
                                                 const char *validUntil, const char *contactUrl,
                                                 const char *recvAs, const char *sellerName,
                                                 const char *productDesc);
/* Unique file identifier. An owner id of 192 characters or more keeps the previous one; the
 * identifier (0 to 64 bytes, any values) always replaces the stored one. More than 64 bytes:
 * returns 2, records no error and leaves the message without identifier. */
ZEL_MARLO_API int32_t zel_marlo_setPsdUfid(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *ownerId,
                                           const uint8_t *identifier, uint32_t identifierSize);

/* ---- Field readers -----------------------------------------------------------------------
 * Each returns a fresh copy that the caller releases with free(), or NULL when the field is
 * absent or the handle is bad. (The commercial readers after the price carry "Comment" in
 * their names.)
 */
ZEL_MARLO_API char *zel_marlo_getPsdTitle(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdArtist(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdAlbum(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdGenre(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentTitle(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentDesc(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommercialPrice(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentValidUntil(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentContactUrl(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentRecvAs(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentSellerName(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdCommentProductDesc(ZEL_MARLO_PSD_MSG_t *psdMsg);
ZEL_MARLO_API char *zel_marlo_getPsdUfidOwnerId(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* Copy of the identifier bytes (not NUL-terminated; free() it), NULL when there are none. */
ZEL_MARLO_API uint8_t *zel_marlo_getPsdUfidIdentifier(ZEL_MARLO_PSD_MSG_t *psdMsg);
/* Number of identifier bytes; 0 for a bad handle. */
ZEL_MARLO_API uint32_t zel_marlo_getPsdUfidIdentifierSize(ZEL_MARLO_PSD_MSG_t *psdMsg);

/* ---- Validation --------------------------------------------------------------------------- */

/* Checks the comment and commercial values (whatever the group switches say) and that the
 * enabled groups fit an ID3 tag of at most 1024 bytes. The first failing rule is recorded. */
ZEL_MARLO_API int32_t zel_marlo_validatePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg);

/* ---- ID3 tags ------------------------------------------------------------------------------ */

/* Text encoding of the ID3 text frames: one of ZEL_MARLO_ID3_ENC_*; anything else returns 2
 * and keeps the old value. With 1, 2 or 3 the caller's texts are read as UTF-8. */
ZEL_MARLO_API int32_t zel_marlo_setId3TextEncoding(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t encoding);
ZEL_MARLO_API int32_t zel_marlo_getId3TextEncoding(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t *encoding);
/* Validates the message and renders its enabled groups as an ID3v2.3 tag into a new record
 * (*id3Msg); release it with zel_marlo_freeId3PsdMsg. A message with no frame gives length 0. */
ZEL_MARLO_API int32_t zel_marlo_getId3PsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                             ZEL_MARLO_ID3_PSD_MSG_t **id3Msg);
/* Decodes an ID3 tag into the message. Its values replace the message's values only when they
 * pass validation; the group switches stay. The record stays the caller's. The message takes
 * the text encoding of the tag's first frame stored in 1, 2 or 3 when it fits 1024 bytes in it,
 * else the one that holds every text in the shortest tag (0 only when every text is ISO-8859-1;
 * on a tie 0, 3, 1, 2); 0 when every frame is ISO-8859-1. It is refused for its size only when
 * it fits in none, and encodes again within 1024 bytes. */
ZEL_MARLO_API int32_t zel_marlo_setId3PsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                             const ZEL_MARLO_ID3_PSD_MSG_t *id3Msg);

/* ---- ID3 files ---------------------------------------------------------------------------- */

/* Replaces the message by the ID3 tag at the start of the file at path. */
ZEL_MARLO_API int32_t zel_marlo_loadId3PsdFile(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *path);
/* Writes the message's ID3 tag, and nothing else, to path: a regular file is replaced whole
 * where that keeps its owner, group and protection, anything else written in place (see the
 * conventions above). */
ZEL_MARLO_API int32_t zel_marlo_saveId3PsdFile(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *path);

/* ---- Printing ----------------------------------------------------------------------------- */

/* The message as labelled lines, in a new text the caller releases with free(); NULL on failure.
 * enabledOnly 1 leaves out the groups whose switch is not 1. */
ZEL_MARLO_API char *zel_marlo_sprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enabledOnly);
/* Prints a heading with the encoded length and the time, then the lines, to stream (stdout
 * when NULL). Nothing is printed when the message cannot be encoded. */
ZEL_MARLO_API int32_t zel_marlo_fprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, FILE *stream,
                                             uint8_t enabledOnly);

/* ---- Sending and receiving ---------------------------------------------------------------- */

/* Validates and encodes the message and keeps it in the handle as a PSD container with the
 * low 16 bits of contentId, ready for one send. */
ZEL_MARLO_API int32_t zel_marlo_createPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t contentId);
/* Sends the prepared container (ZEL_MARLO_MSG_ID_PSD, consuming it) or a flush message
 * (ZEL_MARLO_MSG_ID_FLUSH) as one two-layer VESK packet in a UDP datagram to host:port
 * (port < 1 means ZEL_MARLO_DEFAULT_PORT). A datagram the network does not take is not an error. */
ZEL_MARLO_API int32_t zel_marlo_sendPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *host,
                                           int32_t port, ZEL_MARLO_MSG_ID_t msgId);
/* Like zel_marlo_sendPsdMsg, but hands the packet of the given kind out in *buffer (from
 * malloc: the caller releases it with free()) with its length in *length. */
ZEL_MARLO_API int32_t zel_marlo_sendPsdMsgToBuffer(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t **buffer,
                                                   uint32_t *length, ZEL_MARLO_VESK_TYPE_t veskType,
                                                   ZEL_MARLO_MSG_ID_t msgId);
/* Waits, without time limit, for one datagram on the UDP port, unpacks it, keeps its PSD
 * container in the handle and reports its message id. */
ZEL_MARLO_API int32_t zel_marlo_recvPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t port,
                                           ZEL_MARLO_MSG_ID_t *msgId);
/* Like zel_marlo_recvPsdMsg for a packet of the given kind that the caller already holds. */
ZEL_MARLO_API int32_t zel_marlo_recvPsdMsgFromBuffer(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                                     const uint8_t *buffer, uint32_t length,
                                                     ZEL_MARLO_VESK_TYPE_t veskType,
                                                     ZEL_MARLO_MSG_ID_t *msgId);
/* Checks the received container, reports its content id and decodes its ID3 tag into the
 * message. The received container is released whatever the outcome. */
ZEL_MARLO_API int32_t zel_marlo_parsePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, uint16_t *contentId);
/* Sends the message's bare ID3 tag (no container, no packet) as one datagram to host:port. */
ZEL_MARLO_API int32_t zel_marlo_sendRawPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *host,
                                              int32_t port);
/* Length of the message's ID3 tag. */
ZEL_MARLO_API int32_t zel_marlo_getPsdMsgLength(ZEL_MARLO_PSD_MSG_t *psdMsg, uint32_t *length);

/* ---- Version ------------------------------------------------------------------------------ */

/* Versions of the library, the packet module and the ID3 writer, one per line. The text is the
 * library's own buffer (do not free it), valid until the next call. */
ZEL_MARLO_API const char *zel_marlo_getVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_MARLO_H */
