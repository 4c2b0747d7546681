#!/usr/bin/env bash
# Installs the build tree into a fresh temporary prefix, checks what landed there, then builds
# the user program in user/ against that copy twice, with CMake's find_package(pagolinth) and
# with plain c++ and pkg-config, and runs both. Exits 77 (skipped) before the pkg-config build
# when pkg-config is not installed.
# Usage: install_test.sh CMAKE GENERATOR CXX BUILD_DIR USER_DIR LIBDIR VERSION
set -euo pipefail

cmake=$1
generator=$2
cxx=$3
build=$4
user=$5
libdir=$6
version=$7

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

# Exactly the public headers, the four libraries and the four programs.
headers=$(cd "$prefix/include/pagolinth" && find . -type f | sort | tr '\n' ' ')
expected="./bch/bch.h ./codec/codec.h ./codec/layout_code.h ./layout/layout.h ./layout/layout_file.h ./layout/page_layout.h ./status/status.h "
if [ "$headers" != "$expected" ]; then
  echo "installed headers: $headers" >&2
  echo "expected:          $expected" >&2
  exit 1
fi
for file in "$libdir"/libpagolinth_bch.a "$libdir"/libpagolinth_codec.a \
            "$libdir"/libpagolinth_layout.a "$libdir"/libpagolinth_layout_file.a \
            "$libdir"/cmake/pagolinth/pagolinthConfig.cmake \
            "$libdir"/cmake/pagolinth/pagolinthConfigVersion.cmake \
            "$libdir"/pkgconfig/pagolinth.pc \
            bin/pagolinth bin/pagolinth-ecc bin/pagolinth-bch bin/pagolinth-sample; do
  if [ ! -f "$prefix/$file" ]; then
    echo "not installed: $file" >&2
    exit 1
  fi
done

# (a) A CMake project; the package must be the installed copy, at the version built.
"$cmake" -S "$user" -B "$work/cmake-build" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DPAGOLINTH_EXPECTED_VERSION="$version" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
found=$(sed -n 's/^pagolinth_DIR:PATH=//p' "$work/cmake-build/CMakeCache.txt")
if [ "$found" != "$prefix/$libdir/cmake/pagolinth" ]; then
  echo "find_package(pagolinth) found $found, not the installed copy" >&2
  exit 1
fi
"$cmake" --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
"$work/cmake-build/user"

# (b) Plain c++ with pkg-config, which sees only the installed copy.
if ! command -v pkg-config >/dev/null 2>&1; then
  echo "pkg-config is not installed (Debian's pkg-config); its build is skipped" >&2
  exit 77
fi
export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" PKG_CONFIG_PATH=""
found=$(pkg-config --modversion pagolinth)
if [ "$found" != "$version" ]; then
  echo "pkg-config names version $found, not $version" >&2
  exit 1
fi
# Word splitting of pkg-config's output is wanted here.
# shellcheck disable=SC2046
"$cxx" -std=c++17 $(pkg-config --cflags pagolinth) "$user/user.cpp" -o "$work/user-pc" \
  $(pkg-config --libs pagolinth)
"$work/user-pc"
