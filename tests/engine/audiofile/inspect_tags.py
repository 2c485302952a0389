#!/usr/bin/python3
"""inspect_tags.py check INPUT OUTPUT: JSON of what each file carries beyond its audio, and where
OUTPUT differs from INPUT in container kind, MP3 Xing/Info frame or MP4 time stamps.

Reads the bytes itself: tags, chunks, blocks, boxes. Writer strings are looked for outside the
audio packets (positions from ffprobe) and outside an MP3's Xing/Info frame. Every fixture tag
holds "CleftoneTag", so surviving tag text shows up.
"""

import json
import re
import struct
import subprocess
import sys

TOKEN = "CleftoneTag"
WRITER_MARKS = [b"Lavf", b"Lavc", b"Lavu", b"ffmpeg", b"FFmpeg", b"LAME", b"Lame"]
ID3V2_ANYWHERE = re.compile(rb"ID3[\x02\x03\x04]\x00|3DI[\x03\x04]\x00")

RIFF_ALLOWED = {b"fmt ", b"data", b"fact", b"ds64", b"JUNK", b"junk"}
W64_ALLOWED = {b"fmt ", b"data", b"fact", b"junk"}
AIFF_ALLOWED = {b"COMM", b"SSND", b"FVER"}
CAF_ALLOWED = {b"desc", b"data", b"pakt", b"kuki", b"chan", b"free"}
MP4_TOP_ALLOWED = {b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide"}
MP4_MOOV_ALLOWED = {b"mvhd", b"trak", b"iods", b"udta", b"meta", b"mvex", b"free", b"skip"}


def show(tag):
    return tag.decode("latin-1")


class Report:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        self.problems, self.kind, self.mp4_times, self.extra = [], "unknown", [], {}
        self.start = 0  # where the container proper starts, past an ID3v2 tag
        self.xing = None  # (offset, bytes) of an MP3 Xing/Info/VBRI frame

    def problem(self, text):
        self.problems.append(text)

    def to_json(self):
        xing = self.xing[1].hex() if self.xing else None
        return {"kind": self.kind, "problems": self.problems, "xing": xing, **self.extra}


def id3v2_size(data, pos=0):
    if data[pos : pos + 3] != b"ID3" or len(data) < pos + 10:
        return 0
    size = 0
    for b in data[pos + 6 : pos + 10]:
        size = (size << 7) | (b & 0x7F)
    footer = 10 if data[pos + 5] & 0x10 else 0
    return 10 + size + footer


def generic(rep):
    d = rep.data
    while d[rep.start : rep.start + 3] == b"ID3":
        size = id3v2_size(d, rep.start)
        if not size:
            break
        rep.problem(f"ID3v2.{d[rep.start + 3]} tag at {rep.start} ({size} bytes)")
        rep.start += size
    if len(d) >= 128 and d[-128:-125] == b"TAG":
        title = d[-125:-95].split(b"\0")[0]
        rep.problem(f"ID3v1 tag at the end (title '{show(title)}')")
    for m in re.finditer(rb"APETAGEX", d):
        rep.problem(f"APEv2 header or footer at {m.start()}")
    for mark in (b"LYRICSBEGIN", b"LYRICS200", b"LYRICSEND"):
        for m in re.finditer(mark, d):
            rep.problem(f"Lyrics3 marker {show(mark)} at {m.start()}")
    hits = []
    for enc in ("ascii", "utf-16-le", "utf-16-be"):
        hits += [(m.start(), enc) for m in re.finditer(re.escape(TOKEN.encode(enc)), d)]
    for pos, enc in sorted(hits)[:8]:
        rep.problem(f"tag text '{TOKEN}' ({enc}) at {pos}: {context(d, pos)}")


def context(d, pos):
    return repr(d[max(0, pos - 12) : pos + 40])


MAGIC = {b"fLaC": "fLaC", b"riff\x2e\x91\xcf\x11": "Wave64", b"caff": "CAF", b".snd": "AU",
         b"#!AMR-WB\n": "AMR-WB", b"#!AMR\n": "AMR-NB", b"OggS": "Ogg"}


def detect(rep):
    d = rep.data[rep.start :]
    if d[:4] in (b"RIFF", b"RF64", b"BW64", b"FORM"):
        return f"{show(d[:4])}/{show(d[8:12])}"
    if d[4:8] == b"ftyp":
        return f"MP4/{show(d[8:12])}"
    for magic, kind in MAGIC.items():
        if d.startswith(magic):
            return kind
    if d[:2] == b"\x0b\x77" and len(d) > 6:
        return "E-AC-3" if (d[5] >> 3) > 10 else "AC-3"
    if d[:1] != b"\xff" and b"\xff" in d[:4096]:  # junk before the first MPEG audio frame
        d = d[d.index(b"\xff") :]
    if len(d) > 4 and d[0] == 0xFF and (d[1] & 0xE0) == 0xE0:
        layer = (d[1] >> 1) & 3
        if (d[1] & 0xF6) == 0xF0:
            return "ADTS"
        if layer:
            return f"MPEG-L{4 - layer}"
    return "unknown"


def walk_iff(rep, label, size_format, allowed):
    """RIFF, RF64 and AIFF: 4-byte ids and sizes, chunks padded to even lengths."""
    d, pos, data_size64 = rep.data, rep.start + 12, None
    while pos + 8 <= len(d):
        cid, size = d[pos : pos + 4], struct.unpack(size_format, d[pos + 4 : pos + 8])[0]
        if cid == b"ds64":
            data_size64 = struct.unpack("<Q", d[pos + 16 : pos + 24])[0]
        if cid == b"data" and size == 0xFFFFFFFF and data_size64 is not None:
            size = data_size64
        if cid not in allowed:
            rep.problem(f"{label} chunk '{show(cid)}' ({size} bytes): {context(d, pos + 8)}")
        pos += 8 + size + (size & 1)


def walk_w64(rep):
    d, pos = rep.data, rep.start + 40
    while pos + 24 <= len(d):
        cid = d[pos : pos + 4]
        size = struct.unpack("<Q", d[pos + 16 : pos + 24])[0]
        if cid.lower() not in W64_ALLOWED:
            rep.problem(f"Wave64 chunk '{show(cid)}' ({size} bytes)")
        if size < 24:
            break
        pos += (size + 7) & ~7


def walk_caf(rep):
    d, pos = rep.data, rep.start + 8
    while pos + 12 <= len(d):
        cid = d[pos : pos + 4]
        size = struct.unpack(">q", d[pos + 4 : pos + 12])[0]
        if cid not in CAF_ALLOWED:
            rep.problem(f"CAF chunk '{show(cid)}' ({size} bytes): {context(d, pos + 12)}")
        if size < 0:
            break
        pos += 12 + size


def check_au(rep):
    d = rep.data[rep.start :]
    offset = struct.unpack(">I", d[4:8])[0]
    note = d[24 : min(offset, len(d))]
    if note.strip(b"\0"):
        rep.problem(f"AU annotation {note.rstrip(bytes(1))!r}")


def walk_flac(rep):
    d, pos = rep.data, rep.start + 4
    while pos + 4 <= len(d):
        head, size = d[pos], int.from_bytes(d[pos + 1 : pos + 4], "big")
        if head & 0x7F:  # anything but STREAMINFO; 4 is the comment block with the vendor
            rep.problem(f"FLAC metadata block type {head & 0x7F} ({size} bytes): "
                        f"{context(d, pos + 4)}")
        pos += 4 + size
        if head & 0x80:
            break


def boxes(d, start, end):
    pos = start
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


def walk_mp4(rep):
    d = rep.data
    tracks = 0
    for typ, s, e in boxes(d, rep.start, len(d)):
        if typ == b"moov":
            for ctyp, cs, ce in boxes(d, s, e):
                if ctyp == b"trak":
                    tracks += 1
                    mp4_trak(rep, cs, ce)
                elif ctyp == b"mvhd":
                    mp4_times(rep, "mvhd", cs)
                elif ctyp == b"udta":
                    mp4_udta(rep, "moov/udta", cs, ce)
                elif ctyp == b"meta":
                    mp4_meta(rep, "moov/meta", cs, ce)
                if ctyp not in MP4_MOOV_ALLOWED:
                    rep.problem(f"MP4 box moov/{show(ctyp)}")
        if typ not in MP4_TOP_ALLOWED:
            rep.problem(f"MP4 top-level box '{show(typ)}' ({e - s} bytes)")
    if tracks != 1:
        rep.problem(f"MP4 has {tracks} tracks")


def mp4_times(rep, where, s):
    d = rep.data
    if d[s] == 1:
        times = struct.unpack(">QQ", d[s + 4 : s + 20])
    else:
        times = struct.unpack(">II", d[s + 4 : s + 12])
    rep.mp4_times += [(where, t) for t in times if t]


def mp4_trak(rep, s, e):
    d = rep.data
    for typ, cs, ce in boxes(d, s, e):
        if typ == b"tkhd":
            mp4_times(rep, "tkhd", cs)
        elif typ == b"tref":
            refs = [show(t) for t, _, _ in boxes(d, cs, ce)]
            rep.problem(f"MP4 track reference tref {refs}")
        elif typ == b"udta":
            mp4_udta(rep, "trak/udta", cs, ce)
        elif typ == b"meta":
            mp4_meta(rep, "trak/meta", cs, ce)
        elif typ == b"mdia":
            for mtyp, ms, me in boxes(d, cs, ce):
                if mtyp == b"mdhd":
                    mp4_times(rep, "mdhd", ms)
                elif mtyp == b"hdlr" and d[ms + 8 : ms + 12] != b"soun":
                    rep.problem(f"MP4 track with handler '{show(d[ms + 8 : ms + 12])}'")


def mp4_udta(rep, where, s, e):
    for typ, cs, ce in boxes(rep.data, s, e):
        if typ == b"meta":
            mp4_meta(rep, where + "/meta", cs, ce)
        elif typ != b"free":
            rep.problem(f"MP4 box {where}/{show(typ)}: {context(rep.data, cs)}")


def mp4_meta(rep, where, s, e):
    d = rep.data
    # ISO 'meta' is a full box; QuickTime's is not. The hdlr child tells which.
    if d[s + 4 : s + 8] != b"hdlr":
        s += 4
    for typ, cs, ce in boxes(d, s, e):
        if typ == b"ilst":
            for item, is_, ie in boxes(d, cs, ce):
                rep.problem(f"MP4 {where}/ilst item '{show(item)}': {context(d, is_)}")
        elif typ not in (b"hdlr", b"free"):
            rep.problem(f"MP4 box {where}/{show(typ)}")


L3_KBPS = {
    3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
    2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def find_xing(rep):
    """The first frame of an MP3 when it is a Xing, Info or VBRI header frame."""
    d, pos = rep.data, rep.start
    if d[pos : pos + 1] != b"\xff" and b"\xff" in d[pos : pos + 4096]:  # junk before it
        pos = d.index(b"\xff", pos)
    if len(d) < pos + 4 or d[pos] != 0xFF or (d[pos + 1] & 0xE0) != 0xE0:
        return
    version, layer = (d[pos + 1] >> 3) & 3, (d[pos + 1] >> 1) & 3
    bri, sri, pad = d[pos + 2] >> 4, (d[pos + 2] >> 2) & 3, (d[pos + 2] >> 1) & 1
    mono = (d[pos + 3] >> 6) == 3
    if layer != 1 or version == 1 or sri == 3 or bri in (0, 15):
        return
    kbps = L3_KBPS[3 if version == 3 else 2][bri]
    rate = RATES[version][sri]
    length = (144 if version == 3 else 72) * kbps * 1000 // rate + pad
    side = (17 if mono else 32) if version == 3 else (9 if mono else 17)
    frame = d[pos : pos + length]
    if frame[4 + side : 8 + side] in (b"Xing", b"Info") or frame[36:40] == b"VBRI":
        rep.xing = (pos, frame)
        enc = re.search(rb"(LAME|Lavc|Lavf|L3.99|GOGO)[\x20-\x7e]{0,5}", frame)
        rep.extra["xing_encoder"] = show(enc.group(0)) if enc else None


def packet_ranges(path):
    try:
        out = subprocess.run(
            ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
             "packet=pos,size", "-of", "csv=p=0", path],
            capture_output=True, text=True, timeout=30, check=False).stdout
    except (OSError, subprocess.TimeoutExpired):
        return []
    rows = [line.split(",") for line in out.split()]
    return [(int(r[0]), int(r[1])) for r in rows
            if len(r) >= 2 and r[0].isdigit() and r[1].isdigit()]


def writer_strings(rep):
    masked = bytearray(rep.data)
    for pos, size in packet_ranges(rep.path):
        masked[pos : pos + size] = bytes(size)
    if rep.xing:
        pos, frame = rep.xing
        masked[pos : pos + len(frame)] = bytes(len(frame))
    for mark in WRITER_MARKS:
        for m in re.finditer(re.escape(mark), masked):
            rep.problem(f"writer string '{show(mark)}' outside the audio at {m.start()}: "
                        f"{context(rep.data, m.start())}")
    for m in ID3V2_ANYWHERE.finditer(masked):
        if m.start() != 0:
            rep.problem(f"ID3v2 header inside the file at {m.start()}")


def analyse(path):
    rep = Report(path)
    generic(rep)
    rep.kind = detect(rep)
    riff = lambda rep: walk_iff(rep, "RIFF", "<I", RIFF_ALLOWED)
    walkers = {"fLaC": walk_flac, "Wave64": walk_w64, "CAF": walk_caf, "AU": check_au,
               "RIFF": riff, "RF64": riff, "BW64": riff, "MP4": walk_mp4, "MPEG-L3": find_xing,
               "FORM": lambda rep: walk_iff(rep, "AIFF", ">I", AIFF_ALLOWED)}
    walkers.get(rep.kind.split("/")[0], lambda rep: None)(rep)
    writer_strings(rep)
    return rep


def check(inp, outp):
    a, b = analyse(inp), analyse(outp)
    mismatch = []
    if a.kind != b.kind:
        mismatch.append(f"container kind {a.kind} became {b.kind}")
    if a.kind == "MPEG-L3":
        if a.xing is None and b.xing is not None:
            mismatch.append(f"output gained a Xing/Info frame (encoder "
                            f"{b.extra.get('xing_encoder')}) that the input did not have")
        elif a.xing is not None and b.xing is None:
            mismatch.append("the input's Xing/Info frame is gone")
        elif a.xing is not None and a.xing[1] != b.xing[1]:
            diff = [i for i, (x, y) in enumerate(zip(a.xing[1], b.xing[1])) if x != y]
            mismatch.append(f"Xing/Info frame differs at bytes {diff[:16]} (lengths "
                            f"{len(a.xing[1])}/{len(b.xing[1])}); encoder "
                            f"{a.extra.get('xing_encoder')} -> {b.extra.get('xing_encoder')}")
    known = {t for _, t in a.mp4_times}
    for where, t in b.mp4_times:
        if t not in known:
            mismatch.append(f"MP4 {where} carries a time stamp of its own ({t})")
    return {"input": a.to_json(), "output": b.to_json(), "mismatch": mismatch}


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "check":
        sys.exit(__doc__)
    json.dump(check(sys.argv[2], sys.argv[3]), sys.stdout, indent=1)
