# shellcheck shell=bash disable=SC2034,SC2154 # sets variables for wine.sh, reads its top and tests
# Sourced by the checks under Wine (scripts/test.d/wine.sh).
#
# wine_pick chooses the build the checks run with and its loader: where this
# machine executes 32-bit programs (wine --version works), build-win32 under
# wine; where it cannot, build-win64 under the 64-bit loader,
# /usr/lib/wine/wine64, called directly (Debian's wine wrapper always picks the
# 32-bit loader when it is installed). TWOPASS_WINE_BITS=32 or 64 asks for one
# of the two. Sets bits, why, WINE, wineserver, win (the build), objdump,
# pe_kind and the record sizes the test programs report; exits 77 (skip)
# when no Wine starts or a tool is missing.
#
# wine_prefix makes the run's throwaway prefix, with one Wine server kept for
# the whole run, the test codec installed for MP42 and our codec's files in
# the system folder; it is removed at exit (WINE_KEEP=1 keeps the run's
# folder, $work, for a look at a failure). Sets work and sys32.
#
# wine64_want and wine64_use give vnt.auo2's checks the 64-bit loader and
# build-win64 when the other checks run with 32-bit Wine.
#
# Then the helpers the checks share.

skip() { echo "wine.sh: SKIP - $*"; exit 77; }

wine_pick() {
  local wants=${TWOPASS_WINE_BITS:-} loader=/usr/lib/wine/wine64 tool
  if [ "$wants" != 64 ] && command -v wine >/dev/null 2>&1 && wine --version >/dev/null 2>&1; then
    bits=32 why="this machine executes 32-bit programs"
  elif [ "$wants" != 32 ] && [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1; then
    bits=64 why="this machine cannot execute 32-bit programs (wine --version fails)"
    [ "$wants" != 64 ] || why="TWOPASS_WINE_BITS=64"
  else
    case $wants in
      32) skip "wine (32-bit) does not start" ;;
      64) skip "$loader does not start" ;;
      *) skip "neither wine (32-bit) nor $loader starts (scripts/setup.sh installs them)" ;;
    esac
  fi
  if [ "$bits" = 32 ]; then
    objdump=i686-w64-mingw32-objdump WINE=wine wineserver=wineserver pe_kind=PE32
    export WINEARCH=win32
    # Record sizes the test codec and reader plug-in see: ICCOMPRESSFRAMES,
    # the reader's read request and its function table (32-bit layouts).
    size_frames_info=64 size_vf_read=20 size_vf_table=24
  else
    objdump=x86_64-w64-mingw32-objdump WINE=$loader wineserver=/usr/lib/wine/wineserver64 pe_kind=PE32+
    export WINEARCH=win64 WINELOADER=$loader WINESERVER=/usr/lib/wine/wineserver64
    # The same records with native 64-bit pointers.
    size_frames_info=96 size_vf_read=32 size_vf_table=48
  fi
  win=$top/build-win$bits
  for tool in "$objdump" "$wineserver"; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/setup.sh installs the Windows tools)"
  done
}

wine_prefix() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/twopass-wine.XXXXXX")
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  trap wine_cleanup EXIT
  prefix_make "$work/prefix" || exit 1
}
# prefix_make FOLDER: a prefix there for $WINE, with $win's test codec and our codec.
prefix_make() {
  local started
  export WINEPREFIX=$1
  started=$(date +%s)
  if ! "$WINE" wineboot -i >"$1.wineboot.log" 2>&1; then
    tail -n 20 "$1.wineboot.log"
    echo "wine.sh: FAIL - wineboot could not make a prefix in $1"; return 1
  fi
  "$wineserver" -p 600 # keep one server for the run: each program then starts quickly
  echo "wine.sh: prefix ${1##*/} ready in $(($(date +%s) - started)) s"
  sys32=$WINEPREFIX/drive_c/windows/system32
  # Wine draws the dialogs' captions itself (there is no window manager), and
  # the dialog's Japanese font name is served by the IPA font when it is there.
  reg_add 'HKCU\Software\Wine\X11 Driver' Decorated N
  if fc-list 2>/dev/null | grep -q IPAPGothic; then
    {
      printf '\xff\xfe'
      printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n"ＭＳ Ｐゴシック"="IPAPGothic"\r\n' |
        iconv -f UTF-8 -t UTF-16LE
    } >"$work/fonts.reg"
    "$WINE" regedit /S "$(winpath "$work/fonts.reg")" >/dev/null 2>&1
  fi
  # The test codec answers for MP42, as an installed codec would.
  cp "$win/win32-tests/testcodec.dll" "$sys32/"
  reg_add "$drivers32" VIDC.MP42 testcodec.dll
  # Our codec: vntcodec.dll and FFmpeg's DLLs in the system folder, as the
  # README installs them. The checks that use it register it themselves.
  if [ -f "$win/vntcodec.dll" ]; then
    cp "$win/vntcodec.dll" "$win"/avcodec-vnt-*.dll "$win"/avutil-vnt-*.dll "$win"/swscale-vnt-*.dll "$sys32/"
  fi
}
wine_cleanup() {
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  if [ -d "$work/prefix64" ]; then
    WINEPREFIX=$work/prefix64 "$wine64_server" -k >/dev/null 2>&1
    WINEPREFIX=$work/prefix64 "$wine64_server" -w >/dev/null 2>&1
  fi
  [ -n "${WINE_KEEP:-}" ] || rm -rf "$work"
}

# vnt.auo2 exists for 64-bit Windows only: its checks run under the 64-bit
# loader with build-win64 whichever build the others use. wine64_want says
# whether they can (win64_missing: why not, else empty) and which build
# scripts/build-windows.sh is to make (build_bits).
wine64_loader=/usr/lib/wine/wine64 wine64_server=/usr/lib/wine/wineserver64
wine64_want() {
  win64_missing="" build_bits=$bits
  [ "$bits" = 64 ] && return 0
  if ! "$wine64_loader" --version >/dev/null 2>&1; then
    win64_missing="$wine64_loader does not start (scripts/setup.sh installs wine64)"
  elif ! command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1 || ! command -v "$wine64_server" >/dev/null 2>&1; then
    win64_missing="x86_64-w64-mingw32-objdump or $wine64_server is not installed"
  else
    build_bits=64
  fi
}
# wine64_use, first in a check of vnt.auo2: the 64-bit loader, build-win64
# and a 64-bit prefix (the run's own when the run is 64-bit, else a second
# one, $work/prefix64, made by the first such check and kept for the others).
# Answers 77 with a line saying why when the check can't run here.
wine64_use() {
  [ -z "$win64_missing" ] || { echo "not run: $win64_missing"; return 77; }
  [ "$bits" = 64 ] && return 0
  WINE=$wine64_loader wineserver=$wine64_server objdump=x86_64-w64-mingw32-objdump pe_kind=PE32+
  export WINEARCH=win64 WINELOADER=$wine64_loader WINESERVER=$wine64_server
  win=$top/build-win64
  if [ -d "$work/prefix64" ]; then
    export WINEPREFIX=$work/prefix64
    sys32=$WINEPREFIX/drive_c/windows/system32
    return 0
  fi
  prefix_make "$work/prefix64" || { rm -rf "$work/prefix64"; return 1; }
}

drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
vfplugins='HKCU\Software\VFPlugin'
winpath() { "$WINE" winepath -w "$1" 2>/dev/null; }
reg_add() { "$WINE" reg add "$1" /v "$2" /d "$3" /f >/dev/null 2>&1; }
reg_delete_key() { "$WINE" reg delete "$1" /f >/dev/null 2>&1; }

# Each check runs in a subshell in its own folder, echoes its faults and
# returns non-zero on one; a trap on EXIT there is its clean-up, run however
# the check ends.
fault() { printf '%s\n' "$@"; ok=1; } # a fault of the running check (its local ok)
# A file without its CRs. Never fails a pipeline: under pipefail, grep -q
# quitting at its match would otherwise count tr's broken pipe as a miss.
crlf() { tr -d '\r' <"$1" || true; }
# has_line FILE LINE...: FILE holds each LINE whole (line ends aside); a miss
# shows the lines of FILE that begin with the same word.
has_line() {
  local file=$1 line
  shift
  for line in "$@"; do
    crlf "$file" | grep -qxF -- "$line" ||
      fault "$file has no line '$line'; it has:" "$(crlf "$file" | grep -m5 -F -- "${line%% *}")"
  done
}
# wine_run PROGRAM ARGS...: PROGRAM under Wine, its output in stdout.txt and
# stderr.txt; says how it failed when it did.
wine_run() {
  "$WINE" "$@" >stdout.txt 2>stderr.txt && return 0
  local rc=$?
  echo "${1##*/} exited with $rc:"
  cat stdout.txt stderr.txt
  return 1
}
make_reference_clip() { # width height frames rate -> ref.raw, in.avi
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=$1x$2:rate=$4" -frames "$3" -f rawvideo -pix_fmt bgr24 ref.raw &&
    python3 "$tests/make_avi.py" ref.raw "$1" "$2" "$4" 1 in.avi || { echo "could not make the input clip"; return 1; }
}
stream_is() { python3 "$tests/wine_checks.py" stream "$@" || ok=1; } # file field=value...
