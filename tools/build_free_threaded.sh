#!/usr/bin/env bash
# Builds the free-threaded CPython interpreters the test command runs on, into fixed
# prefixes outside the checkout, and reuses a build that is already there:
#
#   tools/build_free_threaded.sh ft     free-threaded (--disable-gil), gcc
#                                       -> ${KORVANE_FT_PREFIX:-/opt/korvane/cpython-3.13t}
#   tools/build_free_threaded.sh tsan   free-threaded with ThreadSanitizer, clang
#                                       -> ${KORVANE_FT_TSAN_PREFIX:-/opt/korvane/cpython-3.13t-tsan}
#
# The source is CPython 3.13 as Debian's trixie suite carries it (the python3.13 source
# package; its upstream tarball is built, without Debian's patches). The deb-src entry is
# made from the machine's own Debian source entry (its URI and keyring) and used through a
# private apt state under /opt/korvane/apt, so the machine's apt configuration is not
# changed. A build counts as good when its stamp matches the options below and its
# interpreter runs with the GIL off; then nothing is fetched or built. The last line on
# standard output is the interpreter's path. Any failure (no source entry, no source
# package, a failed build) exits non-zero with the reason on standard error.
set -euo pipefail

base=${KORVANE_FT_BASE:-/opt/korvane}
# Bump when the build recipe changes, so existing builds are redone.
recipe=1
package=python3.13
suite=trixie

die() { echo "build_free_threaded: $*" >&2; exit 1; }
say() { echo "build_free_threaded: $*" >&2; }

variant=${1:-}
case "$variant" in
  ft)
    prefix=${KORVANE_FT_PREFIX:-$base/cpython-3.13t}
    compilers=(CC=gcc CXX=g++)
    options=(--disable-gil)
    ;;
  tsan)
    prefix=${KORVANE_FT_TSAN_PREFIX:-$base/cpython-3.13t-tsan}
    compilers=(CC=clang CXX=clang++)
    options=(--disable-gil --with-thread-sanitizer)
    ;;
  *) die "usage: $0 ft|tsan" ;;
esac
# Fast to build: no PGO or LTO, no test modules.
options+=(--prefix="$prefix" --disable-test-modules --with-ensurepip=install)
python=$prefix/bin/python3.13t
stamp=$prefix/korvane-build.stamp
want="recipe $recipe: ${compilers[*]} ${options[*]}"

# The modules the tests and pip need; their absence means a build without its libraries.
check='import sys, ssl, zlib, bz2, lzma, ctypes, sqlite3, venv, ensurepip
sys.exit(1 if sys._is_gil_enabled() else 0)'
good_build() {
  [ -x "$python" ] && [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$want" ] &&
    "$python" -c "$check" >/dev/null 2>&1
}

mkdir -p "$base"
# One build at a time per machine (several checkouts may run the test command).
exec 9>"$base/.lock"
flock 9

if good_build; then
  say "reusing $prefix ($(sed -n 2p "$stamp"))"
  echo "$python"
  exit 0
fi

# --- build dependencies ----------------------------------------------------------
export DEBIAN_FRONTEND=noninteractive
deps=(make pkg-config libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev
      libreadline-dev uuid-dev libncurses-dev xz-utils)
[ "$variant" = tsan ] && deps+=(clang)
missing=()
for dep in "${deps[@]}"; do
  dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q "install ok installed" || missing+=("$dep")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "apt-get install ${missing[*]}"
  apt-get update -qq || die "apt-get update failed"
  apt-get install -y -qq "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
fi

# --- source ------------------------------------------------------------------------
# The deb-src entry: the URI and keyring of the machine's Debian archive entry (the one whose
# suites are not the security suites), with the suite that carries python3.13.
debian_entry() {
  local file=/etc/apt/sources.list.d/debian.sources
  if [ -f "$file" ]; then
    # deb822: stanzas separated by blank lines; the first one whose URI is not a
    # security archive and whose types include deb.
    awk -v RS= '
      {
        uri = ""; key = ""; types = ""
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
          line = lines[i]
          if (line ~ /^[ \t]*#/) continue
          if (line ~ /^URIs:/)      { sub(/^URIs:[ \t]*/, "", line); split(line, u, /[ \t]+/); uri = u[1] }
          if (line ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", line); key = line }
          if (line ~ /^Types:/)     { types = line }
        }
        if (uri != "" && types ~ /deb/ && uri !~ /security/) { print uri, key; exit }
      }' "$file"
  elif [ -f /etc/apt/sources.list ]; then
    awk '$1 == "deb" && $0 !~ /security/ {
           for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list
  fi
}
src_dir=$base/src
tarball=$(ls "$src_dir"/${package}_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$tarball" ]; then
  read -r uri key < <(debian_entry || true) || true
  [ -n "${uri:-}" ] || die "no Debian archive entry in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list to derive the $suite deb-src entry from"
  apt_dir=$base/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$src_dir"
  signed=""
  [ -z "${key:-}" ] || signed="[signed-by=$key] "
  echo "deb-src ${signed}$uri $suite main" >"$apt_dir/sources.list"
  apt_private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
               -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
               -o "APT::Sandbox::User=root")
  say "fetching the $package source package from $suite"
  apt-get "${apt_private[@]}" -qq update || die "apt-get update of the $suite deb-src entry failed"
  (cd "$src_dir" && apt-get "${apt_private[@]}" -qq source --download-only "$package") ||
    die "apt-get source --download-only $package failed"
  tarball=$(ls "$src_dir"/${package}_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$tarball" ] || die "the $package source package has no upstream tarball"
fi
version=$(basename "$tarball" .orig.tar.xz)
version=${version#${package}_}

# --- build -------------------------------------------------------------------------
work=$base/build-$variant
rm -rf "$work" "$prefix"
mkdir -p "$work"
log=$base/build-$variant.log
say "building CPython $version ($variant) into $prefix (log: $log)"
start=$SECONDS
{
  tar -xJf "$tarball" -C "$work" --strip-components=1 &&
    cd "$work" &&
    env "${compilers[@]}" ./configure "${options[@]}" &&
    make -j"${KORVANE_JOBS:-2}" &&
    make install
} >"$log" 2>&1 || { tail -n 40 "$log" >&2; die "the $variant build failed (log: $log)"; }
[ -x "$python" ] || die "the $variant build installed no $python"
printf '%s\nCPython %s, built in %ss\n' "$want" "$version" "$((SECONDS - start))" >"$stamp"
good_build || { "$python" -c "$check" >&2 || true; die "the $variant build does not pass its check"; }
rm -rf "$work"
say "built $prefix in $((SECONDS - start))s"
echo "$python"
