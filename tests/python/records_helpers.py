"""Shared by the record suites: where the shared records live, a GTP client for
GNU Go's loadsgf, and a PNG reader for rendered pictures (zlib only)."""

from __future__ import annotations

import os
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def shared_sgf_dir() -> Path | None:
    """The shared records: beside the repository, or beside the worktree's parent."""
    for candidate in (os.environ.get("VEXLOR_SGF_DIR"), ROOT / ".." / "shared" / "data" / "sgf",
                      ROOT / ".." / ".." / "shared" / "data" / "sgf"):
        if candidate and Path(candidate).is_dir():
            return Path(candidate).resolve()
    return None


def shared_sgf_files() -> list[Path]:
    d = shared_sgf_dir()
    return sorted(d.glob("*.sgf")) if d else []


GNUGO = shutil.which("gnugo") or next(
    (p for p in ("/usr/games/gnugo", "/usr/bin/gnugo") if os.access(p, os.X_OK)), None
)
LETTERS = "ABCDEFGHJKLMNOPQRST"


def gnugo_final_board(path: Path, size: int) -> dict[tuple[int, int], int]:
    """GNU Go's board after `loadsgf path` as {(col, row): colour}, row 0 at the bottom."""
    assert GNUGO is not None
    cmds = f"loadsgf {path}\nlist_stones black\nlist_stones white\nquit\n"
    out = subprocess.run([GNUGO, "--mode", "gtp"], input=cmds, capture_output=True, text=True, timeout=60).stdout
    answers = [a.strip() for a in out.split("\n\n") if a.strip()]
    assert all(a.startswith("=") for a in answers), out
    stones: dict[tuple[int, int], int] = {}
    for colour, answer in ((1, answers[1]), (-1, answers[2])):
        for v in answer[1:].split():
            stones[(LETTERS.index(v[0].upper()), int(v[1:]) - 1)] = colour
    return stones


RSVG = shutil.which("rsvg-convert")


def render_svg(svg: str) -> tuple[int, int, list[bytes]]:
    """The picture rendered by rsvg-convert: width, height and RGBA rows."""
    assert RSVG is not None
    png = subprocess.run([RSVG, "--format=png"], input=svg.encode(), capture_output=True, check=True,
                         timeout=60).stdout
    return read_png(png)


def read_png(data: bytes) -> tuple[int, int, list[bytes]]:
    """8-bit RGB or RGBA, non-interlaced PNG (what rsvg-convert writes) as RGBA rows."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
            channels = 4 if colour == 6 else 3
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        if channels == 3:
            line = bytearray(b"".join(bytes(line[i:i + 3]) + b"\xff" for i in range(0, stride, 3)))
        rows.append(bytes(line))
    return width, height, rows


def pixel(rows: list[bytes], x: int, y: int) -> tuple[int, int, int]:
    r, g, b, _ = rows[y][4 * x:4 * x + 4]
    return r, g, b
