-- SPDX-License-Identifier: GPL-2.0-or-later
--
-- zel_marlo.lua: Wireshark/tshark dissector for the PSD feed of zel_marlo.
--
--   VESK packets on UDP (port 11000, and any other port by a heuristic):
--     AFL layer  "AF", length, sequence, version (bit 7: CRC present), protocol 'i', TAL bytes,
--                payload, CRC-16
--     CL layer   version 0x10, flags, sequence, message id (0 PSD message, 1 flush), length
--     PSD container (12-byte header, little-endian) carrying an ID3v2.3 tag
--   The bare ID3 tag that `marlorx -k` forwards (UDP port 10001, and any port by a heuristic).
--
-- Load it with   tshark -X lua_script:zel_marlo.lua ...   or copy it into the personal Lua
-- plugins folder (~/.local/lib/wireshark/plugins/). docs/protocol.md describes every byte.
--
-- Malformed input never stops the dissection with a Lua error: each fault becomes expert info
-- on the layer concerned and the bytes it could not place stay visible as data.

local vesk = Proto("vesk", "VESK packet")
local psd = Proto("psd", "PSD message")

----------------------------------------------------------------------------------------------
-- Value strings

local msgid_names = { [0] = "PSD message", [1] = "Flush" }
local psd_type_names = { [0] = "PSD" }
local psd_format_names = { [1] = "ID3" }
local psd_options_names = { [0] = "No extension header", [1] = "Extension header follows" }
local crc_status_names = { [0] = "Bad", [1] = "Good", [2] = "Unverified", [3] = "Not present" }
local encoding_names = {
    [0] = "ISO-8859-1", [1] = "UTF-16 with byte-order mark", [2] = "UTF-16BE", [3] = "UTF-8",
}
local received_as_names = {
    [0] = "Other", [1] = "Standard CD album with other songs", [2] = "Compressed audio on CD",
    [3] = "File over the Internet", [4] = "Stream over the Internet", [5] = "As note sheets",
    [6] = "As note sheets in a book with other sheets", [7] = "Music on other media",
    [8] = "Non-musical merchandise",
}
local frame_names = {
    TIT2 = "Title", TPE1 = "Artist", TALB = "Album", TCON = "Genre", COMM = "Comment",
    COMR = "Commercial", UFID = "Unique file identifier",
}

local CRC_BAD, CRC_GOOD, CRC_UNVERIFIED, CRC_ABSENT = 0, 1, 2, 3

----------------------------------------------------------------------------------------------
-- Fields

local vf = {
    afl = ProtoField.none("vesk.afl", "Application framing layer (AFL)"),
    afl_sync = ProtoField.string("vesk.afl.sync", "Sync"),
    afl_length = ProtoField.uint32("vesk.afl.length", "Length", base.DEC, nil, nil,
        "Bytes from offset 12 to the end of the packet, CRC included"),
    afl_seq = ProtoField.uint16("vesk.afl.seq", "Sequence number", base.DEC),
    afl_version = ProtoField.uint8("vesk.afl.version", "Version", base.HEX),
    afl_version_crc = ProtoField.bool("vesk.afl.version.crc", "CRC present", 8, nil, 0x80),
    afl_protocol = ProtoField.char("vesk.afl.protocol", "Protocol"),
    tal_version = ProtoField.uint8("vesk.afl.tal.version", "TAL version", base.HEX),
    tal_ext_count = ProtoField.uint8("vesk.afl.tal.ext_count", "TAL extension words",
        base.DEC, nil, 0xE0),
    tal_ext = ProtoField.bytes("vesk.afl.tal.ext", "TAL extension"),
    tal_field1 = ProtoField.uint8("vesk.afl.tal.field1", "TAL field 1", base.DEC),
    tal_field2 = ProtoField.uint8("vesk.afl.tal.field2", "TAL field 2", base.DEC),
    afl_payload = ProtoField.bytes("vesk.afl.payload", "AFL payload"),
    afl_crc = ProtoField.uint16("vesk.afl.crc", "CRC", base.HEX),
    afl_crc_computed = ProtoField.uint16("vesk.afl.crc.computed", "Computed CRC", base.HEX),
    afl_crc_status = ProtoField.uint8("vesk.afl.crc.status", "CRC status", base.DEC,
        crc_status_names),
    afl_trailing = ProtoField.bytes("vesk.afl.trailing", "Bytes after the AFL packet"),

    cl = ProtoField.none("vesk.cl", "Control layer (CL)"),
    cl_version = ProtoField.uint8("vesk.cl.version", "Version", base.HEX),
    cl_flags = ProtoField.uint8("vesk.cl.flags", "Flags", base.HEX),
    cl_flag = ProtoField.bool("vesk.cl.flags.flag", "Flag", 8, nil, 0x01),
    cl_reserved = ProtoField.uint8("vesk.cl.flags.reserved", "Reserved", base.HEX, nil, 0xFE),
    cl_seq = ProtoField.uint16("vesk.cl.seq", "Sequence number", base.DEC),
    cl_msgid = ProtoField.uint32("vesk.cl.msgid", "Message id", base.DEC, msgid_names),
    cl_length = ProtoField.uint32("vesk.cl.length", "Payload length", base.DEC),
    cl_payload = ProtoField.bytes("vesk.cl.payload", "CL payload"),
    cl_trailing = ProtoField.bytes("vesk.cl.trailing", "Bytes after the CL payload"),

    undecoded = ProtoField.bytes("vesk.undecoded", "Undecoded bytes"),
}

local pf = {
    container = ProtoField.none("psd.container", "PSD container"),
    reserved = ProtoField.uint8("psd.reserved", "Reserved", base.HEX),
    type = ProtoField.uint8("psd.type", "Type", base.DEC, psd_type_names),
    format = ProtoField.uint8("psd.format", "Format", base.DEC, psd_format_names),
    options = ProtoField.uint8("psd.options", "Options", base.DEC, psd_options_names),
    param = ProtoField.uint16("psd.param", "Parameter", base.DEC),
    content_id = ProtoField.uint16("psd.content_id", "Content ID", base.DEC),
    payload_length = ProtoField.uint32("psd.payload_length", "Payload length", base.DEC),
    ext_length = ProtoField.uint32("psd.ext.length", "Extension header length", base.DEC),
    ext_data = ProtoField.bytes("psd.ext.data", "Extension header data"),
    payload = ProtoField.bytes("psd.payload", "Payload"),
    trailing = ProtoField.bytes("psd.trailing", "Bytes after the payload"),

    id3 = ProtoField.none("psd.id3", "ID3 tag"),
    id3_magic = ProtoField.string("psd.id3.magic", "Identifier"),
    id3_version = ProtoField.uint8("psd.id3.version", "Major version", base.DEC),
    id3_revision = ProtoField.uint8("psd.id3.revision", "Revision", base.DEC),
    id3_flags = ProtoField.uint8("psd.id3.flags", "Flags", base.HEX),
    id3_flag_unsync = ProtoField.bool("psd.id3.flags.unsync", "Unsynchronisation", 8, nil, 0x80),
    id3_flag_ext = ProtoField.bool("psd.id3.flags.extended", "Extended header", 8, nil, 0x40),
    id3_flag_exp = ProtoField.bool("psd.id3.flags.experimental", "Experimental", 8, nil, 0x20),
    id3_flag_footer = ProtoField.bool("psd.id3.flags.footer", "Footer", 8, nil, 0x10),
    id3_size = ProtoField.uint32("psd.id3.size", "Tag size", base.DEC, nil, nil,
        "Bytes after the 10-byte header (syncsafe on the wire)"),
    id3_ext_header = ProtoField.bytes("psd.id3.ext_header", "Extended header"),
    frame = ProtoField.none("psd.id3.frame", "Frame"),
    frame_id = ProtoField.string("psd.id3.frame.id", "Frame ID"),
    frame_size = ProtoField.uint32("psd.id3.frame.size", "Frame size", base.DEC),
    frame_flags = ProtoField.uint16("psd.id3.frame.flags", "Frame flags", base.HEX),
    frame_data = ProtoField.bytes("psd.id3.frame.data", "Frame data"),
    encoding = ProtoField.uint8("psd.id3.encoding", "Text encoding", base.DEC, encoding_names),
    title = ProtoField.string("psd.id3.title", "Title"),
    artist = ProtoField.string("psd.id3.artist", "Artist"),
    album = ProtoField.string("psd.id3.album", "Album"),
    genre = ProtoField.string("psd.id3.genre", "Genre"),
    text = ProtoField.string("psd.id3.text", "Text"),
    comm_language = ProtoField.string("psd.id3.comm.language", "Language"),
    comm_description = ProtoField.string("psd.id3.comm.description", "Short description"),
    comm_text = ProtoField.string("psd.id3.comm.text", "Comment text"),
    comr_price = ProtoField.string("psd.id3.comr.price", "Price"),
    comr_valid_until = ProtoField.string("psd.id3.comr.valid_until", "Valid until"),
    comr_contact_url = ProtoField.string("psd.id3.comr.contact_url", "Contact URL"),
    comr_received_as = ProtoField.uint8("psd.id3.comr.received_as", "Received as", base.DEC,
        received_as_names),
    comr_seller = ProtoField.string("psd.id3.comr.seller", "Name of seller"),
    comr_description = ProtoField.string("psd.id3.comr.description", "Description"),
    comr_mime_type = ProtoField.string("psd.id3.comr.mime_type", "Picture MIME type"),
    comr_logo = ProtoField.bytes("psd.id3.comr.logo", "Seller logo"),
    ufid_owner = ProtoField.string("psd.id3.ufid.owner", "Owner identifier"),
    ufid_identifier = ProtoField.bytes("psd.id3.ufid.identifier", "Identifier"),
    padding = ProtoField.bytes("psd.id3.padding", "Padding"),
    id3_trailing = ProtoField.bytes("psd.id3.trailing", "Bytes after the tag"),
}

local function values(t)
    local list = {}
    for _, v in pairs(t) do list[#list + 1] = v end
    return list
end
vesk.fields = values(vf)
psd.fields = values(pf)

----------------------------------------------------------------------------------------------
-- Expert info

local E = expert.group
local S = expert.severity
local is_error = {} -- the expert infos that mark a datagram malformed in the Info column
local function mk(abbr, text, group, severity)
    local ex = ProtoExpert.new(abbr, text, group, severity)
    if severity == S.ERROR then is_error[ex] = true end
    return ex
end
local ve = {
    afl_short = mk("vesk.afl.short", "AFL packet cut short", E.MALFORMED, S.ERROR),
    afl_sync = mk("vesk.afl.sync.bad", "Wrong AFL sync bytes", E.MALFORMED, S.ERROR),
    afl_version = mk("vesk.afl.version.bad", "Unsupported AFL version",
        E.MALFORMED, S.ERROR),
    afl_protocol = mk("vesk.afl.protocol.bad", "Unsupported AFL protocol",
        E.MALFORMED, S.ERROR),
    tal_version = mk("vesk.afl.tal.version.bad", "Unsupported TAL version",
        E.MALFORMED, S.ERROR),
    afl_length = mk("vesk.afl.length.bad", "AFL length disagrees with the datagram",
        E.MALFORMED, S.ERROR),
    afl_trailing = mk("vesk.afl.trailing.expert", "Bytes after the AFL packet",
        E.MALFORMED, S.WARN),
    crc_bad = mk("vesk.afl.crc.bad", "Bad CRC", E.CHECKSUM, S.ERROR),
    crc_unverified = mk("vesk.afl.crc.unverified", "CRC not announced",
        E.CHECKSUM, S.NOTE),
    cl_short = mk("vesk.cl.short", "CL packet cut short", E.MALFORMED, S.ERROR),
    cl_version = mk("vesk.cl.version.bad", "Unsupported CL version",
        E.MALFORMED, S.ERROR),
    cl_reserved = mk("vesk.cl.flags.reserved.bad", "Reserved CL flag bits set",
        E.MALFORMED, S.ERROR),
    cl_length = mk("vesk.cl.length.bad", "CL length disagrees with the bytes",
        E.MALFORMED, S.ERROR),
    cl_trailing = mk("vesk.cl.trailing.expert", "Bytes after the CL payload",
        E.MALFORMED, S.WARN),
    msgid_unknown = mk("vesk.cl.msgid.unknown", "Unknown message id",
        E.PROTOCOL, S.WARN),
    flush_payload = mk("vesk.cl.flush_payload", "Flush message with a payload",
        E.PROTOCOL, S.WARN),
    psd_missing = mk("vesk.cl.no_container", "PSD message without a container",
        E.MALFORMED, S.ERROR),
    fault = mk("vesk.dissector_fault", "Dissector fault", E.MALFORMED, S.ERROR),
}
local pe = {
    short = mk("psd.short", "PSD container cut short", E.MALFORMED, S.ERROR),
    type = mk("psd.type.bad", "Container type is not PSD", E.PROTOCOL, S.ERROR),
    format = mk("psd.format.bad", "Container format is not ID3", E.PROTOCOL, S.ERROR),
    ext = mk("psd.ext.bad", "Bad extension header", E.MALFORMED, S.ERROR),
    length = mk("psd.payload_length.bad", "Payload length disagrees with the bytes",
        E.MALFORMED, S.ERROR),
    trailing = mk("psd.trailing.expert", "Bytes after the payload", E.MALFORMED,
        S.WARN),
    not_id3 = mk("psd.payload.not_id3", "Payload is not an ID3 tag", E.MALFORMED,
        S.ERROR),
    id3 = mk("psd.id3.bad", "ID3 tag does not parse", E.MALFORMED, S.ERROR),
    id3_cut = mk("psd.id3.size.bad", "ID3 tag size disagrees with the bytes",
        E.MALFORMED, S.ERROR),
    id3_trailing = mk("psd.id3.trailing.expert", "Bytes after the ID3 tag",
        E.MALFORMED, S.WARN),
    undecoded = mk("psd.id3.undecoded", "ID3 data left undecoded", E.UNDECODED,
        S.NOTE),
    frame = mk("psd.id3.frame.bad", "Bad ID3 frame", E.MALFORMED, S.ERROR),
    field = mk("psd.id3.field.bad", "Bad ID3 frame field", E.MALFORMED, S.ERROR),
    encoding = mk("psd.id3.encoding.bad", "Unknown ID3 text encoding", E.MALFORMED,
        S.ERROR),
    bom = mk("psd.id3.bom.missing", "UTF-16 string without byte-order mark",
        E.PROTOCOL, S.NOTE),
    fault = mk("psd.dissector_fault", "Dissector fault", E.MALFORMED, S.ERROR),
}
vesk.experts = values(ve)
psd.experts = values(pe)

----------------------------------------------------------------------------------------------
-- Preferences

vesk.prefs.udp_port = Pref.uint("UDP port", 11000, "UDP port of VESK packets (the exciter's)")
psd.prefs.tag_port = Pref.uint("Forwarded tag UDP port", 10001,
    "UDP port of bare ID3 tags forwarded by the receive tool")

----------------------------------------------------------------------------------------------
-- Helpers

local band, bor, rshift, lshift, bxor = bit.band, bit.bor, bit.rshift, bit.lshift, bit.bxor

-- The state of one datagram's dissection: the top of the tree, and what goes into the Info
-- column.
local function new_state(root)
    return { root = root, info = nil, title = nil, content_id = nil, crc_bad = false, errors = 0,
        cl_only = false }
end

-- Expert info on item; an error marks the datagram in the Info column.
local function flag(st, item, ex, text)
    item:add_proto_expert_info(ex, text)
    if ex == ve.crc_bad then
        st.crc_bad = true
    elseif is_error[ex] then
        st.errors = st.errors + 1
    end
end

-- Bytes [offset, offset + length) as data under tree, when there are any.
local function rest_as(tree, field, tvb, offset, length)
    if length == nil then length = tvb:len() - offset end
    if length > 0 and offset >= 0 and offset + length <= tvb:len() then
        return tree:add(field, tvb(offset, length))
    end
end

-- Byte at offset as a number.
local function u8(tvb, offset) return tvb(offset, 1):uint() end

-- CRC-16 of the AFL trailer: polynomial 0x1021, register 0xFFFF, no reflection, final XOR
-- 0xFFFF.
local crc_table = {}
for i = 0, 255 do
    local reg = lshift(i, 8)
    for _ = 1, 8 do
        if band(reg, 0x8000) ~= 0 then
            reg = band(bxor(lshift(reg, 1), 0x1021), 0xFFFF)
        else
            reg = band(lshift(reg, 1), 0xFFFF)
        end
    end
    crc_table[i] = reg
end

local function crc16(raw)
    local reg = 0xFFFF
    for i = 1, #raw do
        local idx = bxor(rshift(reg, 8), raw:byte(i))
        reg = band(bxor(crc_table[idx], lshift(reg, 8)), 0xFFFF)
    end
    return bxor(reg, 0xFFFF)
end

-- UTF-8 of one code point.
local function utf8_char(c)
    if c < 0x80 then
        return string.char(c)
    elseif c < 0x800 then
        return string.char(bor(0xC0, rshift(c, 6)), bor(0x80, band(c, 0x3F)))
    elseif c < 0x10000 then
        return string.char(bor(0xE0, rshift(c, 12)), bor(0x80, band(rshift(c, 6), 0x3F)),
            bor(0x80, band(c, 0x3F)))
    else
        return string.char(bor(0xF0, rshift(c, 18)), bor(0x80, band(rshift(c, 12), 0x3F)),
            bor(0x80, band(rshift(c, 6), 0x3F)), bor(0x80, band(c, 0x3F)))
    end
end

local REPLACEMENT = 0xFFFD

local function latin1_to_utf8(raw)
    local out = {}
    for i = 1, #raw do out[#out + 1] = utf8_char(raw:byte(i)) end
    return table.concat(out)
end

-- UTF-8 checked: each ill-formed sequence becomes U+FFFD.
local function utf8_clean(raw)
    local out, i, n = {}, 1, #raw
    while i <= n do
        local lead = raw:byte(i)
        i = i + 1
        local more, c, low, high = 0, lead, 0x80, 0xBF
        if lead < 0x80 then
            more = 0
        elseif lead >= 0xC2 and lead <= 0xDF then
            more, c = 1, band(lead, 0x1F)
        elseif lead >= 0xE0 and lead <= 0xEF then
            more, c = 2, band(lead, 0x0F)
            if lead == 0xE0 then low = 0xA0 end
            if lead == 0xED then high = 0x9F end
        elseif lead >= 0xF0 and lead <= 0xF4 then
            more, c = 3, band(lead, 0x07)
            if lead == 0xF0 then low = 0x90 end
            if lead == 0xF4 then high = 0x8F end
        else
            more, c = -1, REPLACEMENT
        end
        while more > 0 do
            local b = i <= n and raw:byte(i) or nil
            if b == nil or b < low or b > high then break end
            c = bor(lshift(c, 6), band(b, 0x3F))
            i, more, low, high = i + 1, more - 1, 0x80, 0xBF
        end
        if more > 0 then c = REPLACEMENT end
        out[#out + 1] = utf8_char(c)
    end
    return table.concat(out)
end

-- UTF-16 code units (big- or little-endian) to UTF-8; a lone surrogate or an odd last byte
-- becomes U+FFFD.
local function utf16_to_utf8(raw, little)
    local out, i, n = {}, 1, #raw
    local function unit(at)
        local a, b = raw:byte(at), raw:byte(at + 1)
        if little then a, b = b, a end
        return a * 256 + b
    end
    while i + 1 <= n do
        local c = unit(i)
        i = i + 2
        if c >= 0xD800 and c <= 0xDBFF and i + 1 <= n then
            local d = unit(i)
            if d >= 0xDC00 and d <= 0xDFFF then
                c = 0x10000 + (c - 0xD800) * 0x400 + (d - 0xDC00)
                i = i + 2
            else
                c = REPLACEMENT
            end
        elseif c >= 0xD800 and c <= 0xDFFF then
            c = REPLACEMENT
        end
        out[#out + 1] = utf8_char(c)
    end
    if i <= n then out[#out + 1] = utf8_char(REPLACEMENT) end
    return table.concat(out)
end

-- Text of the bytes of one string in an ID3 text encoding; the second result is false for a
-- UTF-16 string without byte-order mark.
local function decode_text(raw, enc)
    if enc == 1 then
        if raw:sub(1, 2) == "\xFE\xFF" then return utf16_to_utf8(raw:sub(3), false), true end
        if raw:sub(1, 2) == "\xFF\xFE" then return utf16_to_utf8(raw:sub(3), true), true end
        return utf16_to_utf8(raw, false), false
    elseif enc == 2 then
        return utf16_to_utf8(raw, false), true
    elseif enc == 3 then
        return utf8_clean(raw), true
    end
    return latin1_to_utf8(raw), true
end

local function wide(enc) return enc == 1 or enc == 2 end

-- The string that starts at offset and ends before `stop`: its length and the length of its
-- terminator (0 when there is none before `stop`).
local function find_string(tvb, offset, stop, enc)
    local raw = tvb(offset, stop - offset):raw()
    if wide(enc) then
        for i = 1, #raw - 1, 2 do
            if raw:byte(i) == 0 and raw:byte(i + 1) == 0 then return i - 1, 2 end
        end
    else
        local at = raw:find("\0", 1, true)
        if at then return at - 1, 1 end
    end
    return #raw, 0
end

----------------------------------------------------------------------------------------------
-- ID3 tag

-- A cursor over one frame's data: the fields in order, each checked against the frame's end.
local Frame = {}
Frame.__index = Frame

local function new_frame(tvb, tree, st, offset, stop, id)
    return setmetatable({ tvb = tvb, tree = tree, st = st, at = offset, stop = stop, id = id,
        enc = 0 }, Frame)
end

function Frame:left() return self.stop - self.at end

-- False (with expert info) when the frame ends before a field of size bytes called name.
function Frame:need(size, name)
    if self:left() >= size then return true end
    flag(self.st, self.tree, pe.field,
        string.format("%s frame ends before its %s field", self.id, name))
    return false
end

function Frame:encoding()
    if not self:need(1, "text encoding") then return false end
    local item = self.tree:add(pf.encoding, self.tvb(self.at, 1))
    local enc = u8(self.tvb, self.at)
    if enc > 3 then
        flag(self.st, item, pe.encoding,
            string.format("Text encoding %d is none of 0-3; text read as ISO-8859-1", enc))
        enc = 0
    end
    self.enc = enc
    self.at = self.at + 1
    return true
end

-- Adds a string field; terminated = the field must end in a terminator (it is not the
-- frame's last). Returns the decoded text, or nil when the frame ended before it.
function Frame:string(field, name, enc, terminated)
    -- Only the last field of a frame may be empty without its terminator.
    if self:left() <= 0 and terminated and not self:need(1, name) then return nil end
    local len, term = find_string(self.tvb, self.at, self.stop, enc)
    local text, has_bom = decode_text(self.tvb(self.at, len):raw(), enc)
    local item = self.tree:add(field, self.tvb(self.at, len + term), text)
    if enc == 1 and not has_bom then
        flag(self.st, item, pe.bom, name .. " has no byte-order mark")
    end
    if terminated and term == 0 then
        flag(self.st, item, pe.field,
            string.format("%s field of the %s frame has no terminator", name, self.id))
    end
    self.at = self.at + len + term
    return text
end

function Frame:fixed(field, name, size, as_latin1)
    if not self:need(size, name) then return nil end
    local range = self.tvb(self.at, size)
    local item
    if as_latin1 then
        item = self.tree:add(field, range, latin1_to_utf8((range:raw():gsub("\0+$", ""))))
    else
        item = self.tree:add(field, range)
    end
    self.at = self.at + size
    return item
end

function Frame:rest(field)
    if self:left() > 0 then self.tree:add(field, self.tvb(self.at, self:left())) end
    self.at = self.stop
end

local text_fields = { TIT2 = pf.title, TPE1 = pf.artist, TALB = pf.album, TCON = pf.genre }

-- Decodes one frame's fields; returns a short summary for the frame's label.
local function decode_frame(f)
    local id = f.id
    if text_fields[id] or (id:sub(1, 1) == "T" and id ~= "TXXX") then
        if not f:encoding() then return nil end
        local field = text_fields[id] or pf.text
        local first = nil
        -- A list of strings; a terminator after the last one is tolerated.
        repeat
            local text = f:string(field, "text", f.enc, false)
            if first == nil then first = text end
        until text == nil or f:left() <= 0
        if id == "TIT2" and first and f.st.title == nil then f.st.title = first end
        return first
    elseif id == "COMM" then
        if not f:encoding() then return nil end
        if not f:fixed(pf.comm_language, "language", 3, true) then return nil end
        local desc = f:string(pf.comm_description, "short description", f.enc, true)
        if desc == nil then return nil end
        local text = f:string(pf.comm_text, "text", f.enc, false)
        return desc .. (text and (": " .. text) or "")
    elseif id == "COMR" then
        if not f:encoding() then return nil end
        local price = f:string(pf.comr_price, "price", 0, true)
        if price == nil or not f:fixed(pf.comr_valid_until, "valid until", 8, true) then
            return price
        end
        if f:string(pf.comr_contact_url, "contact URL", 0, true) == nil then return price end
        if not f:fixed(pf.comr_received_as, "received as", 1, false) then return price end
        local seller = f:string(pf.comr_seller, "name of seller", f.enc, true)
        if seller == nil then return price end
        local desc = f:string(pf.comr_description, "description", f.enc, true)
        if desc == nil then return price end
        if f:string(pf.comr_mime_type, "picture MIME type", 0, true) == nil then return price end
        f:rest(pf.comr_logo)
        return string.format("%s, %s: %s", seller, price, desc)
    elseif id == "UFID" then
        local owner = f:string(pf.ufid_owner, "owner identifier", 0, true)
        if owner == nil then return nil end
        f:rest(pf.ufid_identifier)
        return owner
    end
    f:rest(pf.frame_data)
    return nil
end

-- v2.3 frame flags that hide the data: compression 0x0080, encryption 0x0040; v2.4:
-- compression 0x0008, encryption 0x0004, unsynchronisation 0x0002, data length 0x0001.
local function hidden_data(major, flags)
    if major == 3 then return band(flags, 0x00C0) ~= 0 end
    return band(flags, 0x000F) ~= 0
end

local function syncsafe(tvb, offset)
    local v, clean = 0, true
    for i = 0, 3 do
        local b = u8(tvb, offset + i)
        if b >= 0x80 then clean = false end
        v = v * 128 + band(b, 0x7F)
    end
    return v, clean
end

-- Dissects the ID3 tag that fills tvb; returns the tag's tree item.
local function dissect_id3(tvb, pinfo, tree, st)
    local n = tvb:len()
    local tag = tree:add(pf.id3, tvb())
    if n < 10 or tvb(0, 3):raw() ~= "ID3" then
        flag(st, tag, pe.id3, string.format("Not an ID3v2 tag (%d bytes, header needs 10)", n))
        rest_as(tag, pf.payload, tvb, 0)
        return tag
    end
    tag:add(pf.id3_magic, tvb(0, 3))
    local major = u8(tvb, 3)
    local vitem = tag:add(pf.id3_version, tvb(3, 1))
    tag:add(pf.id3_revision, tvb(4, 1))
    local flags = u8(tvb, 5)
    local fitem = tag:add(pf.id3_flags, tvb(5, 1))
    fitem:add(pf.id3_flag_unsync, tvb(5, 1))
    fitem:add(pf.id3_flag_ext, tvb(5, 1))
    fitem:add(pf.id3_flag_exp, tvb(5, 1))
    fitem:add(pf.id3_flag_footer, tvb(5, 1))
    local size, clean = syncsafe(tvb, 6)
    local sitem = tag:add(pf.id3_size, tvb(6, 4), size)
    if not clean then flag(st, sitem, pe.id3, "Tag size is not a syncsafe integer") end
    tag:append_text(string.format(" v2.%d, %d bytes", major, size + 10))

    local stop = 10 + size
    if stop > n then
        flag(st, sitem, pe.id3_cut,
            string.format("Tag size says %d bytes, %d present: the tag is cut", size + 10, n))
        stop = n
    end
    if major ~= 3 and major ~= 4 then
        flag(st, vitem, pe.id3,
            string.format("ID3v2.%d: only v2.3 and v2.4 frames are decoded", major))
        rest_as(tag, pf.frame_data, tvb, 10, stop - 10)
        rest_as(tag, pf.id3_trailing, tvb, stop)
        return tag
    end
    if band(flags, 0x80) ~= 0 then
        tag:add_proto_expert_info(pe.undecoded, "Unsynchronised tag: frames left undecoded")
        rest_as(tag, pf.frame_data, tvb, 10, stop - 10)
        rest_as(tag, pf.id3_trailing, tvb, stop)
        return tag
    end

    local at = 10
    if band(flags, 0x40) ~= 0 then
        if stop - at < 4 then
            flag(st, tag, pe.id3, "Extended header cut")
            at = stop
        else
            local ext = major == 3 and tvb(at, 4):uint() + 4 or syncsafe(tvb, at)
            if ext < 4 or ext > stop - at then
                flag(st, tag, pe.id3,
                    string.format("Extended header of %d bytes does not fit", ext))
                ext = stop - at
            end
            tag:add(pf.id3_ext_header, tvb(at, ext))
            at = at + ext
        end
    end

    while at < stop do
        if u8(tvb, at) == 0 then
            tag:add(pf.padding, tvb(at, stop - at))
            break
        end
        if stop - at < 10 then
            local item = rest_as(tag, pf.frame_data, tvb, at, stop - at)
            flag(st, item, pe.frame,
                string.format("Frame header cut: %d of its 10 bytes present", stop - at))
            break
        end
        local id = tvb(at, 4):raw()
        if not id:match("^[A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9]$") then
            local item = rest_as(tag, pf.frame_data, tvb, at, stop - at)
            flag(st, item, pe.frame, "No frame identifier where a frame should start")
            break
        end
        local fsize = major == 3 and tvb(at + 4, 4):uint() or syncsafe(tvb, at + 4)
        local fflags = tvb(at + 8, 2):uint()
        local data = at + 10
        local dsize = fsize
        local cut = fsize > stop - data
        if cut then dsize = stop - data end
        local ftree = tag:add(pf.frame, tvb(at, 10 + dsize))
        ftree:set_text(string.format("%s (%s)", id, frame_names[id] or "Frame"))
        ftree:add(pf.frame_id, tvb(at, 4))
        local szitem = ftree:add(pf.frame_size, tvb(at + 4, 4), fsize)
        ftree:add(pf.frame_flags, tvb(at + 8, 2))
        if cut then
            flag(st, szitem, pe.frame,
                string.format("%s frame says %d bytes, %d left in the tag", id, fsize, dsize))
        end
        if hidden_data(major, fflags) then
            ftree:add_proto_expert_info(pe.undecoded,
                string.format("%s frame is compressed or encrypted: left undecoded", id))
            rest_as(ftree, pf.frame_data, tvb, data, dsize)
        else
            local summary = decode_frame(new_frame(tvb, ftree, st, data, data + dsize, id))
            if summary then ftree:append_text(": " .. summary) end
        end
        at = data + dsize
    end

    if stop < n then
        local item = rest_as(tag, pf.id3_trailing, tvb, stop)
        flag(st, item, pe.id3_trailing, string.format("%d bytes after the tag", n - stop))
    end
    return tag
end

----------------------------------------------------------------------------------------------
-- PSD container

local function dissect_container(tvb, pinfo, tree, st)
    local n = tvb:len()
    local ptree = st.root:add(psd, tvb())
    local c = ptree:add(pf.container, tvb())
    if n < 12 then
        flag(st, c, pe.short, string.format("Container of %d bytes; its header needs 12", n))
        rest_as(c, pf.payload, tvb, 0)
        return
    end
    c:add(pf.reserved, tvb(0, 1))
    local titem = c:add(pf.type, tvb(1, 1))
    local fitem = c:add(pf.format, tvb(2, 1))
    local oitem = c:add(pf.options, tvb(3, 1))
    c:add_le(pf.param, tvb(4, 2))
    c:add_le(pf.content_id, tvb(6, 2))
    local litem = c:add_le(pf.payload_length, tvb(8, 4))
    local ptype, pformat, options = u8(tvb, 1), u8(tvb, 2), u8(tvb, 3)
    local content_id, plen = tvb(6, 2):le_uint(), tvb(8, 4):le_uint()
    st.content_id = content_id
    ptree:append_text(string.format(", Content ID %d", content_id))
    if ptype ~= 0 then
        flag(st, titem, pe.type,
            string.format("Type %d is not PSD (0): a receiver refuses the message", ptype))
    end
    if pformat ~= 1 then
        flag(st, fitem, pe.format,
            string.format("Format %d is not ID3 (1): a receiver refuses the message", pformat))
    end

    local at = 12
    if options == 1 then
        if n < 13 then
            flag(st, oitem, pe.ext, "Extension header announced, but the container ends")
            return
        end
        -- Only the low byte of the 32-bit length counts for a receiver.
        local ext = u8(tvb, 12)
        local eitem
        if n >= 16 then
            eitem = c:add_le(pf.ext_length, tvb(12, 4))
        else
            eitem = c:add(pf.ext_length, tvb(12, 1), ext)
        end
        if ext < 4 then
            flag(st, eitem, pe.ext,
                string.format("Extension header length %d is below 4: a receiver refuses it", ext))
            rest_as(c, pf.payload, tvb, 13)
            return
        end
        if 12 + ext > n then
            flag(st, eitem, pe.ext,
                string.format("Extension header of %d bytes, %d present", ext, n - 12))
            rest_as(c, pf.ext_data, tvb, 16)
            return
        end
        rest_as(c, pf.ext_data, tvb, 16, ext - 4)
        at = 12 + ext
    end

    local avail = n - at
    if plen > avail then
        flag(st, litem, pe.length,
            string.format("Payload length %d, %d bytes present", plen, avail))
        plen = avail
    elseif plen < avail then
        local item = rest_as(c, pf.trailing, tvb, at + plen)
        flag(st, item, pe.trailing, string.format("%d bytes after the payload", avail - plen))
    end
    if plen <= 0 then return end
    local body = tvb(at, plen)
    if plen >= 3 and body:raw(0, 3) == "ID3" then
        dissect_id3(body:tvb(), pinfo, ptree, st)
    else
        local item = c:add(pf.payload, body)
        if pformat == 1 then
            flag(st, item, pe.not_id3, "The payload does not start with \"ID3\"")
        end
    end
end

----------------------------------------------------------------------------------------------
-- CL layer

local function dissect_cl(tvb, pinfo, tree, st)
    local n = tvb:len()
    local cl = tree:add(vf.cl, tvb())
    if n < 12 then
        flag(st, cl, ve.cl_short, string.format("CL packet of %d bytes; its header needs 12", n))
        rest_as(cl, vf.undecoded, tvb, 0)
        return
    end
    local vitem = cl:add(vf.cl_version, tvb(0, 1))
    if u8(tvb, 0) ~= 0x10 then
        flag(st, vitem, ve.cl_version,
            string.format("CL version 0x%02X, expected 0x10", u8(tvb, 0)))
    end
    local flags = cl:add(vf.cl_flags, tvb(1, 1))
    flags:add(vf.cl_flag, tvb(1, 1))
    local ritem = flags:add(vf.cl_reserved, tvb(1, 1))
    if band(u8(tvb, 1), 0xFE) ~= 0 then
        flag(st, ritem, ve.cl_reserved, "Reserved flag bits set: a receiver refuses the packet")
    end
    cl:add(vf.cl_seq, tvb(2, 2))
    local mitem = cl:add(vf.cl_msgid, tvb(4, 4))
    local litem = cl:add(vf.cl_length, tvb(8, 4))
    local msgid, len = tvb(4, 4):uint(), tvb(8, 4):uint()
    cl:append_text(string.format(", %s", msgid_names[msgid] or ("message id " .. msgid)))

    local avail = n - 12
    if len > avail then
        flag(st, litem, ve.cl_length, string.format("CL length %d, %d bytes follow", len, avail))
        len = avail
    elseif len < avail then
        local item = rest_as(cl, vf.cl_trailing, tvb, 12 + len)
        flag(st, item, ve.cl_trailing, string.format("%d bytes after the CL payload", avail - len))
    end

    if msgid == 0 then
        st.info = "PSD message"
        if len > 0 then
            dissect_container(tvb(12, len):tvb(), pinfo, tree, st)
        else
            flag(st, mitem, ve.psd_missing, "PSD message without a container")
        end
    elseif msgid == 1 then
        st.info = "Flush message"
        if len > 0 then
            local item = rest_as(cl, vf.cl_payload, tvb, 12, len)
            flag(st, item, ve.flush_payload,
                string.format("Flush message with %d payload bytes", len))
        end
    else
        st.info = string.format("Unknown message id %d", msgid)
        flag(st, mitem, ve.msgid_unknown,
            string.format("Message id %d is neither PSD message (0) nor flush (1)", msgid))
        rest_as(cl, vf.cl_payload, tvb, 12, len)
    end
end

----------------------------------------------------------------------------------------------
-- AFL layer

local function dissect_afl(tvb, pinfo, tree, st)
    local n = tvb:len()
    local afl = tree:add(vf.afl, tvb())
    local function short(at)
        flag(st, afl, ve.afl_short,
            string.format("Datagram of %d bytes ends inside the AFL header", n))
        rest_as(afl, vf.undecoded, tvb, at)
    end
    if n < 2 then return short(0) end
    local sitem = afl:add(vf.afl_sync, tvb(0, 2))
    if tvb(0, 2):raw() ~= "AF" then
        flag(st, sitem, ve.afl_sync, "Sync bytes are not \"AF\"")
        rest_as(afl, vf.undecoded, tvb, 2)
        st.info = "Not a VESK packet"
        return
    end
    if n < 14 then
        -- Whatever fits of the header.
        if n >= 6 then afl:add(vf.afl_length, tvb(2, 4)) end
        if n >= 8 then afl:add(vf.afl_seq, tvb(6, 2)) end
        return short(math.min(n, 8))
    end
    local L = tvb(2, 4):uint()
    local litem = afl:add(vf.afl_length, tvb(2, 4))
    afl:add(vf.afl_seq, tvb(6, 2))
    local version = u8(tvb, 8)
    local vitem = afl:add(vf.afl_version, tvb(8, 1))
    vitem:add(vf.afl_version_crc, tvb(8, 1))
    if version ~= 0x10 and version ~= 0x90 then
        flag(st, vitem, ve.afl_version,
            string.format("AFL version 0x%02X; 0x90 and 0x10 are accepted", version))
    end
    local pitem = afl:add(vf.afl_protocol, tvb(9, 1))
    if u8(tvb, 9) ~= 0x69 then
        flag(st, pitem, ve.afl_protocol, string.format("Protocol 0x%02X, expected 'i'", u8(tvb, 9)))
    end
    local titem = afl:add(vf.tal_version, tvb(10, 1))
    if u8(tvb, 10) ~= 0x10 then
        flag(st, titem, ve.tal_version,
            string.format("TAL version 0x%02X, expected 0x10", u8(tvb, 10)))
    end
    afl:add(vf.tal_ext_count, tvb(11, 1))
    local words = rshift(u8(tvb, 11), 5)
    local head = 14 + 4 * words -- where the payload starts
    if n < head then
        rest_as(afl, vf.tal_ext, tvb, 12)
        return short(n)
    end
    if words > 0 then afl:add(vf.tal_ext, tvb(12, 4 * words)) end
    afl:add(vf.tal_field1, tvb(head - 2, 1))
    afl:add(vf.tal_field2, tvb(head - 1, 1))

    -- Where the packet ends: where L says when that fits the datagram, else the datagram's end.
    local stop = n
    if L < 4 * words + 4 then
        flag(st, litem, ve.afl_length, string.format(
            "Length %d is less than the %d bytes of TAL fields and CRC", L, 4 * words + 4))
    elseif L + 12 > n then
        flag(st, litem, ve.afl_length, string.format(
            "Length %d makes a packet of %d bytes; the datagram has %d", L, L + 12, n))
    elseif L + 12 < n then
        flag(st, litem, ve.afl_length, string.format(
            "Length %d makes a packet of %d bytes; the datagram has %d", L, L + 12, n))
        stop = L + 12
    end

    local payload
    if stop - head >= 2 then
        local plen = stop - 2 - head
        if plen > 0 then payload = tvb(head, plen) end
        local crc = tvb(stop - 2, 2):uint()
        local citem = afl:add(vf.afl_crc, tvb(stop - 2, 2))
        if band(version, 0x80) ~= 0 then
            local computed = crc16(tvb(0, stop - 2):raw())
            afl:add(vf.afl_crc_computed, tvb(stop - 2, 2), computed):set_generated()
            if computed == crc then
                afl:add(vf.afl_crc_status, tvb(stop - 2, 2), CRC_GOOD):set_generated()
            else
                afl:add(vf.afl_crc_status, tvb(stop - 2, 2), CRC_BAD):set_generated()
                flag(st, citem, ve.crc_bad,
                    string.format("CRC 0x%04X, computed 0x%04X", crc, computed))
            end
        else
            afl:add(vf.afl_crc_status, tvb(stop - 2, 2), CRC_UNVERIFIED):set_generated()
            citem:add_proto_expert_info(ve.crc_unverified,
                "Version bit 7 clear: the CRC field is not checked")
        end
    else
        if stop > head then payload = tvb(head, stop - head) end
        afl:add(vf.afl_crc_status, tvb(n - 1, 1), CRC_ABSENT):set_generated()
        flag(st, afl, ve.afl_short, "The datagram ends before the CRC")
    end
    if stop < n then
        local item = rest_as(afl, vf.afl_trailing, tvb, stop)
        flag(st, item, ve.afl_trailing, string.format("%d bytes after the AFL packet", n - stop))
    end

    if payload then
        dissect_cl(payload:tvb(), pinfo, tree, st)
    else
        flag(st, afl, ve.cl_short, "The AFL packet carries no CL packet")
    end
end

----------------------------------------------------------------------------------------------
-- Entry points

local function info(pinfo, st, default)
    local text = st.info or default
    if st.content_id ~= nil then text = string.format("%s, Content ID %d", text, st.content_id) end
    if st.title ~= nil then text = string.format("%s: %s", text, st.title) end
    if st.cl_only then text = text .. " (CL only)" end
    if st.crc_bad then text = text .. " [bad CRC]" end
    if st.errors > 0 then text = text .. " [malformed]" end
    pinfo.cols.info:set(text)
end

-- Runs body; a fault in the dissector itself shows as expert info, never as a Lua error.
local function guarded(item, fault, body, ...)
    local ok, err = pcall(body, ...)
    if not ok then item:add_proto_expert_info(fault, "Dissector fault: " .. tostring(err)) end
end

local function dissect_vesk(tvb, pinfo, tree, cl_only)
    pinfo.cols.protocol:set("VESK")
    local st = new_state(tree)
    st.cl_only = cl_only
    local item = tree:add(vesk, tvb())
    guarded(item, ve.fault, function()
        if cl_only then dissect_cl(tvb, pinfo, item, st) else dissect_afl(tvb, pinfo, item, st) end
        if st.info == "PSD message" then pinfo.cols.protocol:set("PSD") end
        info(pinfo, st, "VESK")
    end)
    return tvb:len()
end

-- A CL packet alone starts with the CL version 0x10; everything else is taken as AFL.
function vesk.dissector(tvb, pinfo, tree)
    local cl_only = tvb:len() >= 1 and u8(tvb, 0) == 0x10
    return dissect_vesk(tvb, pinfo, tree, cl_only)
end

-- A bare ID3 tag in a datagram of its own.
function psd.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol:set("PSD")
    local st = new_state(tree)
    local item = tree:add(psd, tvb(), "PSD message, bare ID3 tag")
    guarded(item, pe.fault, function()
        dissect_id3(tvb, pinfo, item, st)
        info(pinfo, st, "ID3 tag")
    end)
    return tvb:len()
end

-- Heuristics: a datagram is taken only when its headers check and its length fields agree
-- with its size.
local function looks_like_afl(tvb)
    local n = tvb:len()
    if n < 28 or tvb(0, 2):raw() ~= "AF" then return false end
    local version = u8(tvb, 8)
    if (version ~= 0x10 and version ~= 0x90) or u8(tvb, 9) ~= 0x69 or u8(tvb, 10) ~= 0x10 then
        return false
    end
    local head = 14 + 4 * rshift(u8(tvb, 11), 5)
    if tvb(2, 4):uint() + 12 ~= n or n < head + 14 then return false end
    return u8(tvb, head) == 0x10 and tvb(head + 8, 4):uint() == n - head - 14
end

local function looks_like_cl(tvb)
    local n = tvb:len()
    if n < 12 or u8(tvb, 0) ~= 0x10 or band(u8(tvb, 1), 0xFE) ~= 0 then return false end
    local msgid = tvb(4, 4):uint()
    return msgid <= 1 and tvb(8, 4):uint() == n - 12
end

local function looks_like_tag(tvb)
    local n = tvb:len()
    if n < 20 or tvb(0, 3):raw() ~= "ID3" then return false end
    local major = u8(tvb, 3)
    if major < 2 or major > 4 or u8(tvb, 4) == 0xFF then return false end
    local size, clean = syncsafe(tvb, 6)
    local footer = band(u8(tvb, 5), 0x10) ~= 0 and 10 or 0
    return clean and size + 10 + footer == n
end

local function heuristic_vesk(tvb, pinfo, tree)
    if looks_like_afl(tvb) then
        dissect_vesk(tvb, pinfo, tree, false)
    elseif looks_like_cl(tvb) then
        dissect_vesk(tvb, pinfo, tree, true)
    else
        return false
    end
    return true
end

local function heuristic_tag(tvb, pinfo, tree)
    if not looks_like_tag(tvb) then return false end
    psd.dissector(tvb, pinfo, tree)
    return true
end

local udp_table = DissectorTable.get("udp.port")
local vesk_port = vesk.prefs.udp_port
local tag_port = psd.prefs.tag_port
udp_table:add(vesk_port, vesk)
udp_table:add(tag_port, psd)
vesk:register_heuristic("udp", heuristic_vesk)
psd:register_heuristic("udp", heuristic_tag)

function vesk.prefs_changed()
    if vesk.prefs.udp_port ~= vesk_port then
        udp_table:remove(vesk_port, vesk)
        vesk_port = vesk.prefs.udp_port
        udp_table:add(vesk_port, vesk)
    end
end

function psd.prefs_changed()
    if psd.prefs.tag_port ~= tag_port then
        udp_table:remove(tag_port, psd)
        tag_port = psd.prefs.tag_port
        udp_table:add(tag_port, psd)
    end
end
