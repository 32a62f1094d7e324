# Sourced by the cross-build scripts (build-ffmpeg-win.sh, build-lame-win.sh):
#   debian_source PACKAGE VERSION UPSTREAM CACHE
# unpacks Debian's source package PACKAGE=VERSION once into
# CACHE/src/PACKAGE-UPSTREAM, shared by both architectures, and sets src to
# that folder. Uses the caller's say and missing (exit 77) for its lines;
# exits 1 when the fetch fails for another reason.
debian_source() {
  local package=$1 version=$2 upstream=$3 cache=$4
  src=$cache/src/$package-$upstream
  [ -f "$src/.fetched" ] && [ "$(cat "$src/.fetched")" = "$version" ] && return 0
  say "fetching Debian's $package source $version"
  rm -rf "$cache/src"
  mkdir -p "$cache/src"
  if ! (cd "$cache/src" && apt-get source -qq --only-source "$package=$version" >fetch.log 2>&1); then
    tail -n 5 "$cache/src/fetch.log"
    if grep -q "deb-src" "$cache/src/fetch.log"; then
      missing "no deb-src entry for Debian's archive (scripts/setup.sh adds one)"
    fi
    say "FAIL - apt-get source $package=$version"; exit 1
  fi
  [ -d "$src" ] || { say "FAIL - the source package did not unpack into $src"; exit 1; }
  echo "$version" >"$src/.fetched"
}
