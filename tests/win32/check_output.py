#!/usr/bin/env python3
"""Checks an AVI file written under Wine with the test codec (testcodec.c).

Reads the file's RIFF structure itself (headers, the video chunks in order,
their key flags from idx1), decodes every frame with the test codec's format,
and compares the pictures with a reference:
  --reference-raw FILE   top-down BGR24 frames one after another (for example
                         ffmpeg's decoding of the input clip);
  --pattern              the generated pattern of the test VFAPI plug-in.
With --log FILE the encoding log must name every frame in order with the size
of its chunk and "***" exactly on key frames, and no frame may have been
redone for block noise (the codec is lossless) unless --bad-block X,Y names
the block that the codec was told to damage. --scene-threshold N checks
that every scene-change line reports a rejected delta larger than N.
--frames N checks the frame count. Prints one summary line; exit 1 on a fault.
"""
import argparse
import re
import struct
import sys

MP42 = b"MP42"


def chunks(data, start, end):
    pos = start
    while pos + 8 <= end:
        fourcc = data[pos:pos + 4]
        size = struct.unpack_from("<I", data, pos + 4)[0]
        body = pos + 8
        if body + size > end:
            raise ValueError(f"chunk {fourcc!r} at {pos} runs past its parent")
        yield fourcc, body, size
        pos = body + size + (size & 1)


def parse_avi(path):
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"AVI ":
        raise ValueError("not a RIFF AVI file")
    info = {"frames": [], "keys": None}
    riff_end = min(len(data), 8 + struct.unpack_from("<I", data, 4)[0])

    def walk(start, end, in_movi):
        for fourcc, body, size in chunks(data, start, end):
            if fourcc == b"LIST":
                kind = data[body:body + 4]
                walk(body + 4, body + size, in_movi or kind == b"movi")
            elif fourcc == b"avih":
                info["avih_frames"] = struct.unpack_from("<I", data, body + 16)[0]
            elif fourcc == b"strh":
                # The first video stream's headers; audio streams beside it are left alone.
                info["in_video"] = data[body:body + 4] == b"vids" and "handler" not in info
                if not info["in_video"]:
                    continue
                info["handler"] = data[body + 4:body + 8]
                info["scale"], info["rate"] = struct.unpack_from("<II", data, body + 20)
                info["length"] = struct.unpack_from("<I", data, body + 32)[0]
            elif fourcc == b"strf" and info.get("in_video"):
                info["in_video"] = False
                (info["width"], info["height"]) = struct.unpack_from("<ii", data, body + 4)
                info["bitcount"] = struct.unpack_from("<H", data, body + 14)[0]
                info["compression"] = data[body + 16:body + 20]
            elif fourcc == b"idx1":
                keys = []
                for off in range(body, body + size - 15, 16):
                    ckid, flags = struct.unpack_from("<4sI", data, off)
                    if ckid[2:4] in (b"dc", b"db"):
                        keys.append(bool(flags & 0x10))
                info["keys"] = keys
            elif in_movi and fourcc[2:4] in (b"dc", b"db"):
                info["frames"].append(data[body:body + size])

    walk(12, riff_end, False)
    return info


def rle_decode(code, pixels):
    """The test codec's run-length code of whole pixels; returns the bytes."""
    out = bytearray()
    i = 0
    while len(out) < 3 * pixels:
        if i >= len(code):
            raise ValueError("code ends before the picture is full")
        c = code[i]
        i += 1
        if c < 128:
            out += code[i:i + 3 * (c + 1)]
            i += 3 * (c + 1)
        else:
            out += code[i:i + 3] * (c - 126)
            i += 3
        if len(out) > 3 * pixels or i > len(code):
            raise ValueError("code runs past the picture or the frame")
    return out


def decode_frames(info):
    """Yields (picture, exact) per frame; exact is False for an 'R' frame,
    whose last byte the codec does not keep."""
    size = info["width"] * abs(info["height"]) * 3
    picture = None
    for n, frame in enumerate(info["frames"]):
        if len(frame) > size:
            raise ValueError(f"frame {n}: {len(frame)} bytes, more than the picture's {size}")
        kind = frame[:1]
        if kind == b"R":
            if len(frame) != size:
                raise ValueError(f"frame {n}: raw frame of {len(frame)} bytes")
            picture = bytearray(frame[1:]) + b"\0"
        elif kind == b"K":
            r = rle_decode(frame[1:], size // 3)
            picture = bytearray(size)
            for i in range(size):
                picture[i] = r[i] if i < 3 else (r[i] + picture[i - 3]) & 255
        elif kind == b"D":
            if picture is None:
                raise ValueError(f"frame {n}: delta frame with nothing before it")
            r = rle_decode(frame[1:], size // 3)
            picture = bytearray((a + b) & 255 for a, b in zip(picture, r))
        else:
            raise ValueError(f"frame {n}: unknown frame kind {kind!r}")
        yield bytes(picture), kind != b"R"


def top_down(picture, width, height):
    row = width * 3
    return b"".join(picture[(height - 1 - y) * row:(height - y) * row] for y in range(height))


def pattern_frame(n, width, height):
    out = bytearray(width * height * 3)
    i = 0
    for y in range(height):
        for x in range(width):
            out[i] = (x + 3 * n) & 255
            out[i + 1] = (2 * y + n) & 255
            out[i + 2] = (x + y + 5 * n) & 255
            i += 3
    return bytes(out)


PLAIN = re.compile(r"^ *(\d+) +(\d+)  (\*\*\*)?$")
SCENE = re.compile(r"^ *(\d+) +(\d+)  \*\*\* - seen changed \(size +(\d+)\)$")
BAD = re.compile(r"^ *(\d+) +(\d+)  \*\*\* - bad block \(X: *(\d+), Y: *(\d+)\)$")


def check_log(path, info, scene_threshold, bad_block, faults):
    text = open(path, "rb").read().decode("ascii", "replace")
    lines = text.replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if len(lines) < 3 or not lines[0].startswith("[") or not lines[1].startswith("rate: ") \
            or lines[2] != " frame   size  key":
        faults.append(f"log header is not as expected: {lines[:3]!r}")
        return
    body = lines[3:]
    if len(body) != len(info["frames"]):
        faults.append(f"log has {len(body)} frame lines for {len(info['frames'])} frames")
    scenes = 0
    bad_frames = []
    for n, line in enumerate(body[:len(info["frames"])]):
        m = PLAIN.match(line) or SCENE.match(line) or BAD.match(line)
        if not m:
            faults.append(f"log line {n} not understood: {line!r}")
            continue
        if m.re is BAD:
            bad_frames.append(n)
            where = (int(m.group(3)), int(m.group(4)))
            if bad_block is None:
                faults.append(f"log line {n}: a frame of the lossless codec was redone for block noise: {line!r}")
            elif where != bad_block:
                faults.append(f"log line {n}: bad block at {where}, the damage is at {bad_block}")
        number, size = int(m.group(1)), int(m.group(2))
        key = line.rstrip().endswith("***") or m.re is not PLAIN
        if number != n:
            faults.append(f"log line {n} names frame {number}")
        if size != len(info["frames"][n]):
            faults.append(f"log line {n}: size {size}, chunk holds {len(info['frames'][n])}")
        if info["keys"] is not None and n < len(info["keys"]) and key != info["keys"][n]:
            faults.append(f"log line {n}: key mark {key}, index says {info['keys'][n]}")
        if m.re is SCENE:
            scenes += 1
            rejected = int(m.group(3))
            if scene_threshold is None or rejected <= scene_threshold:
                faults.append(f"log line {n}: scene change for a delta of {rejected} bytes")
    return scenes, bad_frames


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("avi")
    ap.add_argument("--reference-raw")
    ap.add_argument("--pattern", action="store_true")
    ap.add_argument("--frames", type=int)
    ap.add_argument("--log")
    ap.add_argument("--scene-threshold", type=int)
    ap.add_argument("--bad-block", help="X,Y: frames may be redone for block noise, found at this block")
    ap.add_argument("--bad-frames-out", help="file that receives the numbers of the frames redone for block noise")
    args = ap.parse_args()

    faults = []
    try:
        info = parse_avi(args.avi)
    except (OSError, ValueError, struct.error) as e:
        print(f"check_output: {args.avi}: {e}")
        return 1
    width, height = info.get("width", 0), info.get("height", 0)
    if info.get("compression") != MP42 or info.get("handler", b"").upper() != MP42:
        faults.append(f"stream is {info.get('handler')!r}/{info.get('compression')!r}, not MP42")
    if args.frames is not None and len(info["frames"]) != args.frames:
        faults.append(f"{len(info['frames'])} frames, want {args.frames}")
    # Headers completed when the file was closed: both counts name every frame.
    if info.get("length") != len(info["frames"]) or info.get("avih_frames") != len(info["frames"]):
        faults.append(f"headers count {info.get('avih_frames')}/{info.get('length')} frames, "
                      f"the file holds {len(info['frames'])}")
    if info["keys"] is None:
        faults.append("no idx1 index")
    elif len(info["keys"]) != len(info["frames"]):
        faults.append(f"index lists {len(info['keys'])} frames, movi holds {len(info['frames'])}")
    elif info["keys"] and not info["keys"][0]:
        faults.append("frame 0 is not a key frame")

    reference = None
    frame_bytes = width * abs(height) * 3
    if args.reference_raw:
        raw = open(args.reference_raw, "rb").read()
        reference = [raw[i:i + frame_bytes] for i in range(0, len(raw) - frame_bytes + 1, frame_bytes)]
    compared = 0
    raw_frames = 0
    try:
        for n, (picture, exact) in enumerate(decode_frames(info)):
            want = None
            if reference is not None:
                want = reference[n] if n < len(reference) else None
                if want is None:
                    faults.append(f"frame {n} has no reference frame")
                    break
            elif args.pattern:
                want = pattern_frame(n, width, abs(height))
            if want is not None:
                got = top_down(picture, width, abs(height))
                if not exact:
                    # The lost byte is the last in memory: the top row's last red.
                    last = width * 3 - 1
                    got, want = got[:last] + got[last + 1:], want[:last] + want[last + 1:]
                    raw_frames += 1
                if got != want:
                    faults.append(f"frame {n}: decoded picture differs from the reference")
                compared += 1
    except ValueError as e:
        faults.append(str(e))

    scenes, bad_frames = 0, []
    if args.log:
        bad_block = tuple(int(v) for v in args.bad_block.split(",")) if args.bad_block else None
        scenes, bad_frames = check_log(args.log, info, args.scene_threshold, bad_block, faults) or (0, [])
    if args.bad_frames_out:
        with open(args.bad_frames_out, "w") as f:
            f.write("".join(f"{n}\n" for n in bad_frames))

    keys = [n for n, k in enumerate(info["keys"] or []) if k]
    print(f"check_output: {len(info['frames'])} frames {width}x{height}, key frames {keys[:12]}"
          f"{'...' if len(keys) > 12 else ''}, {compared} compared ({raw_frames} stored raw), {scenes} scene changes, "
          f"{len(bad_frames)} bad blocks")
    for f in faults:
        print(f"check_output: FAULT {f}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
