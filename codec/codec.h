// Our MS-MPEG-4 codec as its hosts reach it: the compression manager's
// built-in drivers on Linux and vntcodec.dll on Windows both install this one
// driver procedure for every FourCC of the codec table (codecs.h).
#pragma once

#include <span>

#include "codec/platform.h"

// One procedure serves every FourCC, told apart by the FourCC it is opened
// for: MP42, MP43, DIV3, DIV4 and MPG4 compress and decompress; any FourCC
// that libavformat's AVI tag table maps to a decoder decompresses only.
LRESULT CALLBACK codec_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);

// The FourCCs of the codec table, in its order: what a host installs.
std::span<const DWORD> codec_fourccs();

// Whether proc is this codec's procedure and compresses fcc.
BOOL codec_compresses(DWORD fcc, DRIVERPROC proc);
