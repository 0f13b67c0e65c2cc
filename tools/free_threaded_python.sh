#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (`--disable-gil`) into the folder given, from the
# upstream tarball Debian's archive carries as the python3.13 source package's .orig file.
# apt runs on a private configuration inside that folder: nothing on the system changes.
# Idempotent: a build already there is reused. The last line printed is the interpreter's path.
#
#   tools/free_threaded_python.sh DIR     ->  DIR/bin/python3.13t
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
mkdir -p "$1"
prefix="$(cd "$1" && pwd)"
python="$prefix/bin/python3.13t"

free_threaded() {
  [[ -x "$python" ]] && "$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null
}

if free_threaded; then
  echo "$python"
  exit 0
fi

# The source package, fetched with apt on a configuration of its own; apt checks the files
# against the archive's signed index.
apt_root="$prefix/.apt"
mkdir -p "$apt_root"/{lists/partial,cache/archives/partial,preferences.d} "$prefix/.source"
: >"$apt_root/status"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
  "http://deb.debian.org/debian trixie main" >"$apt_root/sources.list"
apt_options=(
  -o "Dir::Etc::SourceList=$apt_root/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State=$apt_root" -o "Dir::State::Lists=$apt_root/lists"
  -o "Dir::State::status=$apt_root/status" -o "Dir::Cache=$apt_root/cache"
  -o Dir::Etc::Preferences=/dev/null -o "Dir::Etc::PreferencesParts=$apt_root/preferences.d"
  -o APT::Sandbox::User=root -o Debug::NoLocking=1
)
cd "$prefix/.source"
if ! ls python3.13_*.orig.tar.xz >/dev/null 2>&1; then
  apt-get "${apt_options[@]}" -qq update
  apt-get "${apt_options[@]}" -qq source --download-only python3.13
fi
tarball="$(ls python3.13_*.orig.tar.xz | sort -V | tail -n 1)"

# The build, in a folder deleted afterwards (it is larger than the installed interpreter).
rm -rf build
mkdir build
tar -xJf "$tarball" -C build --strip-components=1
cd build
log="$prefix/.source/build.log"
if ! { ./configure --disable-gil --prefix="$prefix" && make -j"$(nproc)" && make install; } \
  >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  exit 1
fi
grep -q '#define Py_GIL_DISABLED 1' pyconfig.h
cd .. && rm -rf build

if ! free_threaded; then
  echo "$python was built, but its GIL is on" >&2
  exit 1
fi
echo "$python"
