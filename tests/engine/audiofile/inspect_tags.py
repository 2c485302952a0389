#!/usr/bin/python3
"""inspect_tags.py check INPUT OUTPUT: JSON of what each file carries beyond its audio
("problems", read from the bytes) and where OUTPUT's container differs from INPUT's ("mismatch")."""

import json
import re
import struct
import subprocess
import sys
import uuid
import zlib

TOKEN = b"CleftoneTag"  # in every fixture tag
WRITER_MARKS = [b"Lavf", b"Lavc", b"Lavu", b"ffmpeg", b"FFmpeg", b"LAME", b"Lame"]
ALLOWED = {
    "RIFF": {b"fmt ", b"data", b"fact", b"ds64", b"JUNK", b"junk"},
    "Wave64": {b"fmt ", b"data", b"fact", b"junk"},
    "AIFF": {b"COMM", b"SSND", b"FVER"},
    "CAF": {b"desc", b"data", b"pakt", b"kuki", b"chan", b"free"},
    "MP4": {b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide"},
    "moov": {b"mvhd", b"trak", b"iods", b"udta", b"meta", b"mvex", b"free", b"skip"},
}
ASF_NAMES = {uuid.UUID(g).bytes_le: name for g, name in (
    ("75B22630-668E-11CF-A6D9-00AA0062CE6C", "Header"),
    ("75B22636-668E-11CF-A6D9-00AA0062CE6C", "Data"),
    ("8CABDCA1-A947-11CF-8EE4-00C00C205365", "File Properties"),
    ("B7DC0791-A9B7-11CF-8EE6-00C00C205365", "Stream Properties"),
    ("5FBF03B5-A92E-11CF-8EE3-00C00C205365", "Header Extension"),
    ("75B22633-668E-11CF-A6D9-00AA0062CE6C", "Content Description"),
    ("D2D0A440-E307-11D2-97F0-00A0C95EA850", "Extended Content Description"),
    ("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA", "Metadata"),
    ("44231C94-9498-49D1-A141-1D134E457054", "Metadata Library"),
    ("2211B3FA-BD23-11D2-B4B7-00A0C955FC6E", "Content Branding"),
    ("F487CD01-A951-11CF-8EE6-00C00C205365", "Marker"),
    ("1EFB1A30-0B62-11D0-A39B-00A0C90348F6", "Script Command"),
    ("1806D474-CADF-4509-A4BA-9AABCB96AAE8", "Padding"),
    ("33000890-E5B1-11CF-89F4-00A0C90349CB", "Simple Index"),
    ("D6E229D3-35DA-11D1-9034-00A0C90349BE", "Index"),
    ("FEB103F8-12AD-4C64-840F-2A1D2F7AD48C", "Media Object Index"),
    ("3CB73FD0-0C4A-4803-953D-EDF7B6228F0C", "Timecode Index"))}
ASF_GUID = {name: g for g, name in ASF_NAMES.items()}
ASF_TAGS = {"Content Description", "Extended Content Description", "Metadata", "Metadata Library",
            "Content Branding", "Marker", "Script Command", "Padding"}
ASF_AUDIO = uuid.UUID("F8699E40-5B4D-11CF-A8FD-00805F5C442B").bytes_le
MAGIC = {b"fLaC": "fLaC", b"riff\x2e\x91\xcf\x11": "Wave64", b"caff": "CAF", b".snd": "AU",
         b"#!AMR-WB\n": "AMR-WB", b"#!AMR\n": "AMR-NB", b"OggS": "Ogg", b"MAC ": "APE",
         b"wvpk": "WavPack", b"MPCK": "Musepack", b"MP+": "Musepack", b"TTA1": "TTA",
         b"OFR ": "OptimFROG", b"tBaK": "TAK", b"DSD ": "DSF", b"FRM8": "DSDIFF",
         ASF_GUID["Header"]: "ASF"}
L3_KBPS = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
           2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}
OGG_CRC = [0] * 256
for _i in range(256):
    OGG_CRC[_i] = _i << 24
    for _ in range(8):
        OGG_CRC[_i] = (OGG_CRC[_i] << 1 ^ (0x04C11DB7 if OGG_CRC[_i] & 1 << 31 else 0)) & 0xFFFFFFFF


def show(tag):
    return tag.decode("latin-1")


class Report:
    def __init__(self, path):
        self.path, self.problems, self.mp4_times = path, [], []
        with open(path, "rb") as f:
            self.d = f.read()
        self.start = 0  # where the container proper starts, past ID3v2 tags
        self.xing = None  # (offset, bytes) of an MP3 Xing/Info/VBRI frame
        self.pakt = None  # a CAF packet table's valid, priming and remainder frames
        self.vendors = []  # the vendor strings of Ogg audio streams, in file order
        self.ogg_gaps = []  # pages missing where the numbers of an audio stream's pages skip
        self.asf_kept = None  # an ASF file's data object and indexes, as bytes
        self.kept = []  # (offset, size) of writer strings that a strip keeps
        self.mkv_apps = None  # Matroska's muxing and writing application

    def problem(self, text, at=None):
        """`at`: where the bytes to show start."""
        if at is not None:
            text += f": {self.d[max(0, at - 12) : at + 40]!r}"
        self.problems.append(text)


def tags_anywhere(rep):
    d = rep.d
    while d[rep.start : rep.start + 3] == b"ID3" and len(d) >= rep.start + 10:
        head = d[rep.start : rep.start + 10]
        size = 10 + sum((b & 127) << (7 * (3 - i)) for i, b in enumerate(head[6:10]))
        size += 10 if head[5] & 0x10 else 0  # footer
        rep.problem(f"ID3v2.{head[3]} tag at {rep.start} ({size} bytes)")
        rep.start += size
    if len(d) >= 128 and d[-128:-125] == b"TAG":
        rep.problem(f"ID3v1 tag at the end (title '{show(d[-125:-95].split(bytes(1))[0])}')")
    for mark in (b"APETAGEX", b"LYRICSBEGIN", b"LYRICS200", b"LYRICSEND"):
        rep.problems += [f"{show(mark)} at {m.start()}" for m in re.finditer(mark, d)]
    hits = sorted((m.start(), enc) for enc in ("ascii", "utf-16-le", "utf-16-be")
                  for m in re.finditer(re.escape(TOKEN.decode().encode(enc)), d))
    for pos, enc in hits[:8]:
        rep.problem(f"tag text ({enc}) at {pos}", pos)


def detect(rep):
    d = rep.d[rep.start :]
    if d[:4] in (b"RIFF", b"RF64", b"BW64", b"FORM"):
        return f"{show(d[:4])}/{show(d[8:12])}"
    if d[4:8] == b"ftyp":
        return f"MP4/{show(d[8:12])}"
    if d[:4] == b"\x1a\x45\xdf\xa3":
        _, _, start, end = mkv_children(d, 0, len(d))[0]
        doctype = [d[a:b] for i, _, a, b in mkv_children(d, start, end) if i == 0x4282]
        return "Matroska/" + show(doctype[0] if doctype else b"?")
    kind = next((k for magic, k in MAGIC.items() if d.startswith(magic)), None)
    if kind:
        return kind
    if d[:2] == b"\x0b\x77" and len(d) > 6:
        return "E-AC-3" if (d[5] >> 3) > 10 else "AC-3"
    if d[:1] != b"\xff" and b"\xff" in d[:4096]:  # junk before the first MPEG audio frame
        d = d[d.index(b"\xff") :]
    if len(d) > 4 and d[0] == 0xFF and (d[1] & 0xE0) == 0xE0:
        if (d[1] & 0xF6) == 0xF0:
            return "ADTS"
        if (d[1] >> 1) & 3:
            return f"MPEG-L{4 - ((d[1] >> 1) & 3)}"
    return "unknown"


def walk_chunks(rep, label, pos, head, size_of, step):
    """IFF-like files: chunk ids first, then sizes; `step` gives the offset of the next chunk."""
    d, data64 = rep.d, None
    while pos + head <= len(d):
        cid, size = d[pos : pos + 4], size_of(pos)
        if cid == b"pakt":  # FFmpeg's reader skips its priming and remainder frames
            rep.pakt = struct.unpack(">qii", d[pos + 20 : pos + 36])
        if cid == b"ds64":
            data64 = struct.unpack("<Q", d[pos + 16 : pos + 24])[0]
        if cid == b"data" and size == 0xFFFFFFFF and data64 is not None:
            size = data64
        if cid not in ALLOWED[label] and cid.lower() not in ALLOWED[label]:
            rep.problem(f"{label} chunk '{show(cid)}' ({size} bytes)", pos + head)
        if size < 0 or (label == "Wave64" and size < 24):
            return
        pos = step(pos, size)
    if pos != len(d) and label in ("RIFF", "AIFF"):  # a chunk cut short, or its pad byte lost
        rep.problem(f"{label} chunks end at byte {pos} of {len(d)}")


def walk_dsf(rep):
    d = rep.d
    size, pointer = struct.unpack("<QQ", d[12:28])
    if pointer:
        rep.problem(f"DSF metadata pointer {pointer}", pointer)
    if size != len(d):
        rep.problem(f"DSF file size says {size} of {len(d)} bytes")


def walk_dsdiff(rep):
    d, pos = rep.d, 16
    if struct.unpack(">Q", d[4:12])[0] != len(d) - 12:
        rep.problem(f"FRM8 size {struct.unpack('>Q', d[4:12])[0]} for {len(d)} bytes")
    while pos + 12 <= len(d):
        cid, size = d[pos : pos + 4], struct.unpack(">Q", d[pos + 4 : pos + 12])[0]
        if cid not in (b"FVER", b"PROP", b"DSD ", b"DST ", b"DSTI"):
            rep.problem(f"DSDIFF chunk '{show(cid)}' ({size} bytes)", pos + 12)
        pos += 12 + size + (size & 1)


def walk_flac(rep):
    d, pos = rep.d, rep.start + 4
    while pos + 4 <= len(d):
        head, size = d[pos], int.from_bytes(d[pos + 1 : pos + 4], "big")
        if head & 0x7F:  # anything but STREAMINFO; 4 is the comment block with the vendor
            rep.problem(f"FLAC metadata block type {head & 0x7F} ({size} bytes)", pos + 4)
        pos += 4 + size
        if head & 0x80:
            break


def ogg_crc(data):
    crc = 0
    for byte in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ OGG_CRC[(crc >> 24) ^ byte]
    return crc


def comment_list(rep, codec, p, pos):
    """A Vorbis comment list (vendor, comments): the vendor is noted, each comment a problem."""
    size = struct.unpack_from("<I", p, pos)[0]
    rep.vendors.append(f"{codec}: {show(p[pos + 4 : pos + 4 + size])}")
    count, pos = struct.unpack_from("<I", p, pos + 4 + size)[0], pos + 8 + size
    for _ in range(count):
        size = struct.unpack_from("<I", p, pos)[0]
        rep.problem(f"Ogg {codec} comment '{show(p[pos + 4 : pos + 4 + min(size, 60)])}'")
        pos += 4 + size
    return pos


def ogg_headers(rep, packets):
    """The header packets of one logical stream: what each codec keeps beyond its setup."""
    p = packets[0] if packets else b""
    try:
        if p.startswith(b"\x01vorbis"):
            comment_list(rep, "Vorbis", packets[1], 7)
        elif p.startswith(b"OpusHead"):
            end = comment_list(rep, "Opus", packets[1], 8)
            if end < len(packets[1]):
                rep.problem(f"Opus data after the comments ({len(packets[1]) - end} bytes)")
        elif p.startswith(b"Speex   "):
            comment_list(rep, "Speex", packets[1], 0)
        elif p.startswith(b"\x7fFLAC"):
            for block in packets[1:]:
                if block[0] & 0x7F == 4:
                    comment_list(rep, "FLAC", block, 4)
                elif block[0] & 0x7F != 3:
                    rep.problem(f"FLAC metadata block type {block[0] & 0x7F} in Ogg")
                if block[0] & 0x80:
                    break
        else:
            rep.problem(f"Ogg stream that is not audio: {p[:8]!r}")
            return False
    except (IndexError, struct.error):
        rep.problem("Ogg header packets cut short")
    return True


def walk_ogg(rep):
    """Every page: contiguous, checksums right, numbered in order; then each stream's headers."""
    d, pos, streams, order = rep.d, rep.start, {}, []
    while pos < len(d):
        if d[pos : pos + 4] != b"OggS" or pos + 27 > len(d):
            if not d[pos:].startswith((b"TAG", b"APETAGEX", b"LYRICSBEGIN", b"ID3")):
                rep.problem(f"Ogg: no page at byte {pos} of {len(d)}", pos)
            break
        flags, serial, seq, count = d[pos + 5], *struct.unpack_from("<II", d, pos + 14), d[pos + 26]
        lacing, body = d[pos + 27 : pos + 27 + count], pos + 27 + count
        end = body + sum(lacing)
        page = bytearray(d[pos:end])
        page[22:26] = bytes(4)
        if end > len(d) or ogg_crc(page) != struct.unpack_from("<I", d, pos + 22)[0]:
            rep.problem(f"Ogg page at {pos} cut short or with a wrong checksum")
        if flags & 2:
            streams[serial] = {"seq": seq - 1, "packets": [], "part": b"", "gaps": []}
            order.append(streams[serial])
        elif serial not in streams:
            rep.problem(f"Ogg page of an unknown stream {serial} at {pos}")
            streams[serial] = {"seq": seq - 1, "packets": [], "part": b"", "gaps": []}
        s = streams[serial]
        if seq != s["seq"] + 1:  # pages lost before this one: a strip keeps the gap
            s["gaps"].append(seq - s["seq"] - 1)
        s["seq"] = seq
        for size in lacing:
            s["part"] += d[body : body + size] if len(s["packets"]) < 64 else b""
            body += size
            if size < 255:
                s["packets"].append(s["part"])
                s["part"] = b""
        pos = end
    for s in order:
        if ogg_headers(rep, s["packets"]):
            rep.ogg_gaps += s["gaps"]


def boxes(d, pos, end):
    while pos + 8 <= end:
        size, typ = struct.unpack(">I4s", d[pos : pos + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", d[pos + 8 : pos + 16])[0], 16
        elif size == 0:
            size = end - pos
        if size < head or pos + size > end:
            yield typ, pos + head, end
            return
        yield typ, pos + head, pos + size
        pos += size


def walk_mp4(rep, where, s, e):
    """Every box a stripped file may not keep, every track but one sound track, every time."""
    d, tracks = rep.d, 0
    for typ, cs, ce in boxes(d, s, e):
        path = f"{where}/{show(typ)}"
        if where in ("", "/moov") and typ not in ALLOWED["moov" if where else "MP4"]:
            rep.problem(f"MP4 box {path} ({ce - cs} bytes)")
        tracks += typ == b"trak"
        if typ in (b"mvhd", b"tkhd", b"mdhd"):
            fmt, size = (">QQ", 16) if d[cs] == 1 else (">II", 8)
            rep.mp4_times += [(path, t) for t in struct.unpack(fmt, d[cs + 4 : cs + 4 + size]) if t]
        elif typ == b"hdlr" and where.endswith("mdia") and d[cs + 8 : cs + 12] != b"soun":
            rep.problem(f"MP4 track with handler '{show(d[cs + 8 : cs + 12])}'")
        elif typ == b"tref":
            rep.problem(f"MP4 track reference tref {[show(t) for t, _, _ in boxes(d, cs, ce)]}")
        elif typ == b"ilst":
            for item, start, _ in boxes(d, cs, ce):
                rep.problem(f"MP4 {path} item '{show(item)}'", start)
        elif where.endswith(("udta", "meta")) and typ not in (b"meta", b"hdlr", b"free"):
            rep.problem(f"MP4 box {path}", cs)
        elif typ == b"meta":
            # ISO 'meta' is a full box; QuickTime's is not. The hdlr child tells which.
            walk_mp4(rep, path, cs + (4 if d[cs + 4 : cs + 8] != b"hdlr" else 0), ce)
        elif typ in (b"moov", b"trak", b"mdia", b"udta"):
            walk_mp4(rep, path, cs, ce)
    if where == "/moov" and tracks != 1:
        rep.problem(f"MP4 has {tracks} tracks")


# What a strip removes, at the top level, in the segment information and in a track.
MKV_GONE = {0x1254C367: "Tags", 0x1941A469: "Attachments", 0x1043A770: "Chapters", 0xEC: "Void",
            0x7BA9: "Title", 0x4461: "DateUTC", 0x7384: "SegmentFilename", 0x536E: "track Name",
            0x3C83AB: "PrevFilename", 0x3E83BB: "NextFilename"}
MKV_TOP = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B, 0x1941A469, 0x1043A770,
           0x1254C367}
SEGMENT, INFO, CLUSTER = 0x18538067, 0x1549A966, 0x1F43B675


def ebml_number(d, pos, mask=True):
    n = 9 - d[pos].bit_length()
    value = int.from_bytes(d[pos : pos + n], "big")
    return n, value & ((1 << 7 * n) - 1) if mask else value


def mkv_children(d, pos, end):
    """(id, element start, data start, data end) of each element in d[pos:end]. An unknown size
    runs to the end (a segment) or up to the next top-level element (a cluster)."""
    found = []
    while pos < end:
        n, eid = ebml_number(d, pos, False)
        m, size = ebml_number(d, pos + n)
        data = stop = pos + n + m
        if size != (1 << 7 * m) - 1:
            stop = data + size
        elif eid == SEGMENT:
            stop = end
        else:  # a cluster
            while stop < end and ebml_number(d, stop, False)[1] not in MKV_TOP:
                k = ebml_number(d, stop, False)[0]
                stop += k + sum(ebml_number(d, stop + k))
        found.append((eid, pos, data, stop))
        pos = stop
    return found


def walk_mkv(rep):
    """Everything a stripped Matroska file may not keep; CRC-32s, seek and cue positions."""
    d, num = rep.d, lambda a, b: int.from_bytes(rep.d[a:b], "big")
    _, _, seg, end = mkv_children(d, rep.start, len(d))[1]
    level1 = mkv_children(d, seg, end)
    starts = {at - seg: eid for eid, at, _, _ in level1}
    blocks, cues, audio, previous, rep.mkv_apps = {}, [], 0, None, []
    for eid, at, data, stop in level1:
        if eid in MKV_GONE:
            rep.problem(f"Matroska {MKV_GONE[eid]} ({stop - at} bytes)", data)
        kids = mkv_children(d, data, stop)
        if kids and kids[0][0] == 0xBF and (
            zlib.crc32(d[kids[0][3] : stop]) != int.from_bytes(d[kids[0][2] : kids[0][3]], "little")
        ):
            rep.problem(f"Matroska CRC-32 of element {eid:X} at {at} does not match")
        for kid, kat, k0, k1 in kids:
            if eid == INFO and kid in MKV_GONE:
                rep.problem(f"Matroska {MKV_GONE[kid]} {d[k0:k1][:40]!r}")
            elif eid == INFO and kid in (0x4D80, 0x5741):  # muxing and writing application
                rep.mkv_apps.append(d[k0:k1])
                rep.kept.append((k0, k1 - k0))
            elif kid == 0xAE:  # a track
                track = {i: (a, b) for i, _, a, b in mkv_children(d, k0, k1)}
                kind = num(*track[0x83])
                audio += kind == 2
                if kind != 2:
                    rep.problem(f"Matroska track of type {kind}")
                if 0x536E in track:
                    rep.problem(f"Matroska track Name {d[slice(*track[0x536E])]!r}")
                if 0x63A2 in track:  # the codec's setup, with the encoder's vendor string
                    a, b = track[0x63A2]
                    rep.kept.append((a, b - a))
            elif kid == 0x4DBB:  # a seek entry
                seek = {i: num(a, b) for i, _, a, b in mkv_children(d, k0, k1)}
                if starts.get(seek[0x53AC]) != seek[0x53AB]:
                    rep.problem(f"Matroska seek entry {seek} names another element")
            elif eid == CLUSTER and kid in (0xA3, 0xA0):  # a block, by its track number
                if kid == 0xA0:
                    k0 = [a for i, _, a, _ in mkv_children(d, k0, k1) if i == 0xA1][0]
                blocks[(at - seg, kat - data)] = ebml_number(d, k0)[1]
            elif eid == CLUSTER and kid in (0xA7, 0xAB):
                want = at - seg if kid == 0xA7 else previous
                if num(k0, k1) not in (0, want):
                    rep.problem(f"Matroska cluster at {at}: {kid:X} is {num(k0, k1)}, not {want}")
            elif kid == 0xBB:  # a cue point
                cues += [{i: num(a, b) for i, _, a, b in mkv_children(d, p0, p1)}
                         for i, _, p0, p1 in mkv_children(d, k0, k1) if i == 0xB7]
        previous = stop - at if eid == CLUSTER else previous
    for cue in cues:
        track = blocks.get((cue[0xF1], cue[0xF0])) if 0xF0 in cue else cue[0xF7]
        if starts.get(cue[0xF1]) != CLUSTER or track != cue[0xF7]:
            rep.problem(f"Matroska cue {cue} points to no block of its track")
    if audio != 1:
        rep.problem(f"Matroska has {audio} audio tracks")


def asf_objects(rep, pos, end, where):
    """(name, start, end) of the ASF objects that fill [pos, end)."""
    found = []
    while pos + 24 <= end:
        guid, size = rep.d[pos : pos + 16], struct.unpack("<Q", rep.d[pos + 16 : pos + 24])[0]
        found.append((ASF_NAMES.get(guid, str(uuid.UUID(bytes_le=guid))), pos, pos + size))
        if size < 24 or pos + size > end:
            break
        pos += size
    if pos != end:
        rep.problem(f"ASF {where}: no object of the right size at {pos}", pos)
    return found


def walk_asf(rep):
    """Tag objects, pictures, streams that are not audio, and header sizes that do not add up."""
    d, s = rep.d, rep.start
    size, count = struct.unpack("<QI", d[s + 16 : s + 28])
    header = asf_objects(rep, s + 30, s + size, "header")
    objects = list(header)
    if count != len(header):
        rep.problem(f"ASF header counts {count} objects and holds {len(header)}")
    for name, a, b in header:
        if name == "Header Extension":
            if struct.unpack("<I", d[a + 42 : a + 46])[0] != b - a - 46:
                rep.problem("ASF header extension's data size is wrong", a)
            objects += asf_objects(rep, a + 46, b, "header extension")
        elif name == "File Properties" and d[a + 40 : a + 48] != struct.pack("<Q", len(d) - s):
            rep.problem(f"ASF file size in the header is not {len(d) - s}", a + 40)
    for name, a, b in objects:
        picture = "WM/Picture".encode("utf-16-le") in d[a:b] or (
            name == "Content Branding" and d[a + 24 : a + 28] != bytes(4))  # a banner image
        if name in ASF_TAGS:
            rep.problem(f"ASF {name} object ({b - a} bytes{', a picture' * picture})", a + 24)
        if name == "Stream Properties" and d[a + 24 : a + 40] != ASF_AUDIO:
            rep.problem(f"ASF stream {d[a + 72] & 127} is not audio", a + 24)
    body = asf_objects(rep, s + size, len(d), "file")
    rep.asf_kept = [d[a:b] for name, a, b in body if name == "Data" or name.endswith("Index")]
    rep.problems += [f"ASF {n} object after the data" for n, _, _ in body[1:] if n[-5:] != "Index"]


def find_xing(rep):
    """The first frame of an MP3 when it is a Xing, Info or VBRI header frame."""
    d, pos = rep.d, rep.start
    if d[pos : pos + 1] != b"\xff" and b"\xff" in d[pos : pos + 4096]:  # junk before it
        pos = d.index(b"\xff", pos)
    if len(d) < pos + 4 or d[pos] != 0xFF or (d[pos + 1] & 0xE0) != 0xE0:
        return
    version, layer = (d[pos + 1] >> 3) & 3, (d[pos + 1] >> 1) & 3
    bri, sri, pad = d[pos + 2] >> 4, (d[pos + 2] >> 2) & 3, (d[pos + 2] >> 1) & 1
    if layer != 1 or version == 1 or sri == 3 or bri in (0, 15):
        return
    length = (144 if version == 3 else 72) * L3_KBPS[3 if version == 3 else 2][bri] * 1000
    frame = d[pos : pos + length // RATES[version][sri] + pad]
    side = [[9, 17], [17, 32]][version == 3][(d[pos + 3] >> 6) != 3]
    if frame[4 + side : 8 + side] in (b"Xing", b"Info") or frame[36:40] == b"VBRI":
        rep.xing = (pos, frame)


def writer_strings(rep):
    listing = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "packet=pos,size",
         "-of", "csv=p=0", rep.path], capture_output=True, text=True, timeout=30).stdout
    spans = [tuple(map(int, r.split(",")[:2])) for r in listing.split() if re.match(r"\d+,\d+", r)]
    if rep.xing:
        spans.append((rep.xing[0], len(rep.xing[1])))
    spans += rep.kept
    masked = bytearray(rep.d)
    for pos, size in spans:
        masked[pos : pos + size] = bytes(size)
    for vendor in rep.vendors:  # an Ogg stream's own vendor ("Lavf…" from FFmpeg's muxer)
        text = vendor.split(": ", 1)[1].encode("latin-1")
        masked = masked.replace(text, bytes(len(text))) if text else masked
    for mark in WRITER_MARKS:
        for m in re.finditer(re.escape(mark), masked):
            rep.problem(f"writer string '{show(mark)}' outside the audio at {m.start()}", m.start())
    for m in re.finditer(rb"ID3[\x02\x03\x04]\x00|3DI[\x03\x04]\x00", masked):
        if m.start():
            rep.problem(f"ID3v2 header inside the file at {m.start()}")


def analyse(path):
    rep = Report(path)
    tags_anywhere(rep)
    rep.kind = detect(rep)
    d, s, kind = rep.d, rep.start, rep.kind.split("/")[0]
    if kind in ("RIFF", "RF64", "BW64", "FORM"):
        fmt, label = ("<I", "RIFF") if kind != "FORM" else (">I", "AIFF")
        walk_chunks(rep, label, s + 12, 8, lambda p: struct.unpack(fmt, d[p + 4 : p + 8])[0],
                    lambda p, n: p + 8 + n + (n & 1))
    elif kind == "Wave64":
        walk_chunks(rep, kind, s + 40, 24, lambda p: struct.unpack("<Q", d[p + 16 : p + 24])[0],
                    lambda p, n: p + ((n + 7) & ~7))
    elif kind == "CAF":
        walk_chunks(rep, kind, s + 8, 12, lambda p: struct.unpack(">q", d[p + 4 : p + 12])[0],
                    lambda p, n: p + 12 + n)
    elif kind == "AU" and d[s + 24 : s + struct.unpack(">I", d[s + 4 : s + 8])[0]].strip(b"\0"):
        rep.problem("AU annotation", s + 24)
    elif kind == "fLaC":
        walk_flac(rep)
    elif kind == "MP4":
        walk_mp4(rep, "", s, len(d))
    elif kind == "MPEG-L3":
        find_xing(rep)
    elif kind == "Ogg":
        walk_ogg(rep)
    elif kind == "DSF":
        walk_dsf(rep)
    elif kind == "DSDIFF":
        walk_dsdiff(rep)
    elif kind == "ASF":
        walk_asf(rep)
    elif kind == "Matroska":
        walk_mkv(rep)
    writer_strings(rep)
    return rep


def check(inp, outp):
    a, b = analyse(inp), analyse(outp)
    mismatch = [f"container kind {a.kind} became {b.kind}"] if a.kind != b.kind else []
    xing_in, xing_out = (r.xing[1] if r.xing else None for r in (a, b))
    if a.kind == "MPEG-L3" and xing_in != xing_out:  # gained, lost or changed
        mismatch.append(f"Xing/Info frame {xing_in!r:.80} became {xing_out!r:.80}")
    if a.ogg_gaps != b.ogg_gaps:
        mismatch.append(f"Ogg page number gaps {a.ogg_gaps} became {b.ogg_gaps}")
    if a.vendors != b.vendors:
        mismatch.append(f"Ogg vendor strings {a.vendors} became {b.vendors}")
    if a.asf_kept != b.asf_kept:
        mismatch.append("ASF data object or index objects differ")
    if a.mkv_apps != b.mkv_apps:
        mismatch.append(f"Matroska muxing and writing apps {a.mkv_apps} became {b.mkv_apps}")
    if a.pakt != b.pakt:
        mismatch.append(f"CAF frames (valid, priming, remainder) {a.pakt} became {b.pakt}")
    known = {t for _, t in a.mp4_times}
    for where, t in b.mp4_times:
        if t not in known:
            mismatch.append(f"MP4 {where} carries a time stamp of its own ({t})")
    return {"input": {"kind": a.kind, "problems": a.problems},
            "output": {"kind": b.kind, "problems": b.problems}, "mismatch": mismatch}


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "check":
        sys.exit(__doc__)
    json.dump(check(sys.argv[2], sys.argv[3]), sys.stdout, indent=1)
