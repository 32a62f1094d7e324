#!/usr/bin/env python3
"""Comparisons of the checks under Wine (scripts/test.d/wine.sh), one per
subcommand; each prints what differs and exits 1 on a fault:
  modules OBJDUMP BUILD PE-KIND     the imports, export and kind of the built
                                    twopass.exe and vnt.auo (PE-KIND: PE32 or
                                    PE32+, as objdump names it)
  auo2_modules OBJDUMP BUILD        build-win64's vnt.auo2 and vnt-host2.exe:
                                    kinds, imports, vnt.auo2's exports
  messages ARGS LINUX.ERR WIN.ERR   twopass.exe's standard error against the
                                    Linux program's for the same arguments
  bitmaps BAD.TXT WIDTH HEIGHT      one analysis bitmap (*.bmp here) for each
                                    frame listed, a whole 24-bit DIB each
  setting CONFIG INDEX VALUE        the plug-in's stored record (ten 32-bit
                                    fields) holds VALUE in field INDEX
  stream FILE FIELD=VALUE...        ffprobe reads these fields of the video
                                    stream (nb_read_packets: frames counted)
  peer WINE CHECK.EXE FILE FOURCC W H FRAMES LINUX.AVI
                                    a file of our codec against its decoder,
                                    ffmpeg and the Linux program's file
"""
import glob
import re
import struct
import subprocess
import sys


# Both deliverables stand alone: they import the system's libraries only
# (Video for Windows, AVIFile, registry or user interface, kernel, C runtime),
# no runtime DLLs of the compiler, and vnt.auo leaves the common controls to
# its host.
IMPORTS = {"twopass.exe": ["advapi32.dll", "avifil32.dll", "kernel32.dll", "msvcrt.dll", "msvfw32.dll"],
           "vnt.auo": ["avifil32.dll", "kernel32.dll", "msvcrt.dll", "msvfw32.dll", "user32.dll"]}


def modules(objdump, build, pe_kind):
    faults = []
    dump = {name: subprocess.run([objdump, "-p", f"{build}/{name}"], capture_output=True, text=True,
                                 check=True).stdout for name in IMPORTS}
    for name, want in IMPORTS.items():
        dlls = sorted({d.lower() for d in re.findall(r"^\tDLL Name: (.*)$", dump[name], re.M)})
        if dlls != want:
            faults.append(f"{name} imports {' '.join(dlls)}; want {' '.join(want)}")
    # vnt.auo exports GetOutputPluginTable alone, under that name.
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)(\n\n|$)", dump["vnt.auo"], re.S)
    exports = re.findall(r"^\t\[ *[0-9]*\] (.*)$", table.group(1), re.M) if table else []
    if exports != ["GetOutputPluginTable"]:
        faults.append(f"vnt.auo exports: {' '.join(exports)}")
    if not re.search(r"Subsystem.*Windows CUI", dump["twopass.exe"]):
        faults.append("twopass.exe is not a console program")
    if not re.search(r"^\tDLL$", dump["vnt.auo"], re.M) or f"{pe_kind})" not in dump["vnt.auo"]:
        faults.append(f"vnt.auo is not a {pe_kind} DLL")
    return "\n".join(faults) or None


# vnt.auo2 (64-bit only) stands alone too: a PE32+ DLL importing the system's
# libraries only, the common controls among them (it registers the up-down
# class itself), exporting the table entry and the optional entries it keeps
# under their plain names; vnt-host2.exe likewise, a console program.
AUO2_IMPORTS = {"vnt.auo2": ["avifil32.dll", "comctl32.dll", "kernel32.dll", "msvcrt.dll", "msvfw32.dll",
                             "user32.dll"],
                "vnt-host2.exe": ["avifil32.dll", "kernel32.dll", "msvcrt.dll", "shell32.dll"]}
AUO2_EXPORTS = ["GetOutputPluginTable", "InitializeConfig", "InitializeLogger", "InitializePlugin",
                "UninitializePlugin"]


def auo2_modules(objdump, build):
    faults = []
    dump = {name: subprocess.run([objdump, "-p", f"{build}/{name}"], capture_output=True, text=True,
                                 check=True).stdout for name in AUO2_IMPORTS}
    for name, want in AUO2_IMPORTS.items():
        dlls = sorted({d.lower() for d in re.findall(r"^\tDLL Name: (.*)$", dump[name], re.M)})
        if dlls != want:
            faults.append(f"{name} imports {' '.join(dlls)}; want {' '.join(want)}")
        if "(PE32+)" not in dump[name]:
            faults.append(f"{name} is not PE32+")
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)(\n\n|$)", dump["vnt.auo2"], re.S)
    exports = re.findall(r"^\t\[ *[0-9]*\] (.*)$", table.group(1), re.M) if table else []
    if exports != AUO2_EXPORTS:
        faults.append(f"vnt.auo2 exports: {' '.join(exports)}; want {' '.join(AUO2_EXPORTS)}")
    if not re.search(r"^\tDLL$", dump["vnt.auo2"], re.M):
        faults.append("vnt.auo2 is not a DLL")
    if not re.search(r"Subsystem.*Windows CUI", dump["vnt-host2.exe"]):
        faults.append("vnt-host2.exe is not a console program")
    return "\n".join(faults) or None


def messages(args, linux_err, win_err):
    lin = open(linux_err, "rb").read()
    win = open(win_err, "rb").read()
    if b"\n" in win.replace(b"\r\n", b""):
        return f"args '{args}': a line on standard error does not end with CR LF"
    win = win.replace(b"\r\n", b"\n")
    # The USAGE line names the program file: twopass.exe on Windows.
    win = win.replace(b"USAGE: twopass.exe ", b"USAGE: twopass ")
    if lin != win:
        return f"args '{args}': standard error differs\n  linux: {lin[:400]}\n  wine:  {win[:400]}"
    if not lin:
        return f"args '{args}': nothing on standard error"
    return None


def bitmaps(bad_txt, width, height):
    bad = [int(n) for n in open(bad_txt).read().split()]
    names = sorted(glob.glob("*.bmp"))
    want = sorted(f"{n:08d}.bmp" for n in bad)
    if names != want:
        return f"analysis bitmaps {names}, want {want}"
    for name in names:
        data = open(name, "rb").read()
        magic, size, _, offset, _, w, h, _, bits, compression = struct.unpack_from("<2sIIIIiiHHI", data)
        row = (w * 3 + 3) // 4 * 4
        # Written in binary mode, or its size gives it away.
        if (magic, w, h, bits, compression) != (b"BM", int(width), int(height), 24, 0) or size != len(data) \
                or len(data) != offset + row * h:
            return f"{name}: {len(data)} bytes, header {magic!r} size {size} {w}x{h}x{bits} offset {offset}"
    return None


def setting(config, index, value):
    record = open(config, "rb").read()
    if len(record) != 40:
        return f"the plug-in's record is {len(record)} bytes, want 40"
    c = struct.unpack("<10i", record)
    if c[int(index)] != int(value):
        return f"the plug-in keeps {c[int(index)]} in field {index} of its record, want {value}"
    return None


def stream(path, *fields):
    names = [f.split("=", 1)[0] for f in fields]
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                          "stream=" + ",".join(names), "-of", "default=nw=1", path],
                         capture_output=True, text=True).stdout
    got = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    if [f"{n}={got.get(n)}" for n in names] != list(fields):
        return "ffprobe sees " + " ".join(f"{n}={got.get(n)}" for n in names)
    return None


def packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags,size",
                          "-of", "csv=p=0", path], capture_output=True, text=True, check=True).stdout.split()
    rows = [line.split(",") for line in out]
    return len(rows), sum(1 for _, f in rows if "K" in f), sum(int(s) for s, _ in rows)


def digests(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "framemd5", "-"],
                         capture_output=True, text=True, check=True).stdout
    return [line.split(",")[-1].strip() for line in out.splitlines() if not line.startswith("#")]


# The peer check: ffmpeg decodes a file of our codec, frame for frame and byte
# for byte, to the pictures our codec's decoder (the one the verification runs
# through) makes of it. And the file's frames are those of the Linux
# program's file for the same clip and settings, byte for byte: the same
# codec, built for another system, must code the same (a difference once
# came from the x87 arithmetic of a 32-bit build); both sides' numbers go
# into the notes.
def peer(wine, check_exe, avi, fcc, w, h, frames, linux_avi):
    faults = [stream(avi, f"codec_tag_string={fcc}", f"nb_read_packets={frames}")]
    run = subprocess.run([wine, check_exe, "decode", avi, "ours.raw"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    decoded = run.stdout.replace("\r", "")
    if run.returncode != 0:
        return "\n".join(filter(None, faults + [decoded.rstrip("\n")]))
    if f"{frames} frames decoded by vntcodec.dll" not in decoded.splitlines():
        faults.append(decoded.rstrip("\n"))
    if subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", avi, "-vf", "vflip", "-f", "rawvideo", "-pix_fmt", "bgr24",
                       "peer.raw"]).returncode != 0:
        return "\n".join(filter(None, faults + [f"ffmpeg cannot decode {avi}"]))
    ours, theirs = open("ours.raw", "rb").read(), open("peer.raw", "rb").read()
    size = int(w) * int(h) * 3
    if len(ours) != len(theirs):
        faults.append(f"our codec decoded {len(ours) // size} frames, ffmpeg {len(theirs) // size}")
    else:
        bad = [n for n in range(len(ours) // size) if ours[n * size:(n + 1) * size] != theirs[n * size:(n + 1) * size]]
        if bad:
            faults.append(f"ffmpeg's pictures differ from our codec's in frames {bad[:10]}")
    win, lin = packets(avi), packets(linux_avi)
    same = digests(avi) == digests(linux_avi)
    print(f"wine: {win[0]} frames, {win[1]} key, {win[2]} bytes of video; linux: {lin[0]} frames, {lin[1]} key, "
          f"{lin[2]} bytes ({100.0 * (win[2] - lin[2]) / lin[2]:+.1f} %); frames {'identical' if same else 'differ'}")
    if win[0] != lin[0] or not same:
        faults.append("frames not as the Linux program's")
    return "\n".join(filter(None, faults)) or None


# An AVI's constant-rate audio restated a byte a sample (dwScale 1, dwRate its
# byte rate, dwSampleSize and nBlockAlign 1), the form such audio has in files
# of Windows tools, which Windows' AVIFile reads across chunks. The chunks are
# left as they are; the file is rewritten in place.
def cbr_bytes(path):
    data = bytearray(open(path, "rb").read())
    at = data.find(b"strh")
    while at >= 0 and data[at + 8:at + 12] != b"auds":
        at = data.find(b"strh", at + 4)
    if at < 0:
        return f"{path} has no audio stream"
    strf = data.find(b"strf", at)
    byte_rate = struct.unpack_from("<I", data, strf + 16)[0]
    total = sum(int(n) for n in subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "packet=size", "-of", "csv=p=0", path],
        capture_output=True, text=True, check=True).stdout.split())
    struct.pack_into("<II", data, at + 8 + 20, 1, byte_rate)  # dwScale, dwRate
    struct.pack_into("<I", data, at + 8 + 32, total)          # dwLength
    struct.pack_into("<I", data, at + 8 + 44, 1)              # dwSampleSize
    struct.pack_into("<H", data, strf + 20, 1)                # nBlockAlign
    open(path, "wb").write(data)
    return None


COMMANDS = {"modules": modules, "auo2_modules": auo2_modules, "messages": messages, "bitmaps": bitmaps, "setting": setting, "stream": stream,
            "peer": peer, "cbr_bytes": cbr_bytes}

if __name__ == "__main__":
    fault = COMMANDS[sys.argv[1]](*sys.argv[2:])
    if fault:
        print(fault)
        sys.exit(1)
