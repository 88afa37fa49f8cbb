#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and uses it the way a
# host project would: the example host built with CMake through
# find_package(veltrano-pgdump), the same source built with the flags of
# pkg-config, and the installed command-line host.  The example then dumps
# a database of the sandbox server when one is known.
#
#   check_install.sh BUILD_DIR SOURCE_DIR [SANITIZER_FLAGS]
#
# SANITIZER_FLAGS are those the library was built with: a sanitized
# library only loads into a program built with the same runtime.
#
# Exit 77 (skipped) without PGDUMP_TEST_HOST, unless PGDUMP_REQUIRE_SERVER=1.
set -euo pipefail

build=$1
source=$2
san_flags=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/pgdump-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "check_install: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }

libdir=$(dirname "$(find "$prefix" -name 'libveltrano-pgdump.so.1.0.0' | head -n 1)")
[[ -n "$libdir" && "$libdir" != . ]] || fail "no libveltrano-pgdump.so.1.0.0 installed"
[[ -L "$libdir/libveltrano-pgdump.so.1" && -L "$libdir/libveltrano-pgdump.so" ]] ||
    fail "the SONAME links are missing"
soname=$(objdump -p "$libdir/libveltrano-pgdump.so.1.0.0" | awk '$1 == "SONAME" {print $2}')
[[ "$soname" == libveltrano-pgdump.so.1 ]] || fail "SONAME is '$soname'"
[[ -f "$prefix/include/veltrano-pgdump.h" ]] || fail "no header installed"
[[ -x "$prefix/bin/veltrano-pgdump" ]] || fail "no command-line host installed"

# The installed CLI finds its library by its relative run path.
"$prefix/bin/veltrano-pgdump" --version | grep -qx 'veltrano-pgdump 1.0.0' ||
    fail "installed veltrano-pgdump --version"

# CMake package.
cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$san_flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$san_flags" >"$work/example.log" 2>&1 ||
    { cat "$work/example.log" >&2; fail "configuring the example with find_package failed"; }
cmake --build "$work/example" >>"$work/example.log" 2>&1 ||
    { cat "$work/example.log" >&2; fail "building the example failed"; }

# pkg-config, with the header compiled strictly as C.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs veltrano-pgdump) || fail "pkg-config --cflags --libs failed"
[[ "$(pkg-config --modversion veltrano-pgdump)" == 1.0.0 ]] || fail "pkg-config version"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror -pedantic $san_flags -o "$work/host-pc" \
    "$source/examples/host.c" $flags -Wl,-rpath,"$libdir" || fail "building the example with pkg-config flags failed"

if [[ -z "${PGDUMP_TEST_HOST:-}" || -z "${PGDUMP_TEST_PORT:-}" ]]; then
    if [[ "${PGDUMP_REQUIRE_SERVER:-}" == 1 ]]; then
        fail "PGDUMP_REQUIRE_SERVER is set but no sandbox server is known"
    fi
    echo "check_install: installed and built; no sandbox server, the run is skipped"
    exit 77
fi

psql_sb() {
    psql -X -q -v ON_ERROR_STOP=1 -h "$PGDUMP_TEST_HOST" -p "$PGDUMP_TEST_PORT" -U vpg_trust "$@"
}
psql_sb -d postgres -c 'DROP DATABASE IF EXISTS install_example WITH (FORCE)'
psql_sb -d postgres -c 'CREATE DATABASE install_example TEMPLATE template0'
psql_sb -d install_example -c \
    'CREATE TABLE t (id int PRIMARY KEY, v text); INSERT INTO t SELECT g, md5(g::text) FROM generate_series(1, 1000) g'

for host in "$work/example/example-host" "$work/host-pc"; do
    out=$work/$(basename "$host").sql
    config="{\"host\":\"$PGDUMP_TEST_HOST\",\"port\":$PGDUMP_TEST_PORT,\"user\":\"vpg_trust\",\"database\":\"install_example\",\"out_path\":\"$out\"}"
    "$host" "$config" >"$work/run.log" 2>&1 || { cat "$work/run.log" >&2; fail "$host failed"; }
    grep -q '^result {"ok":true,.*"rows":1000,' "$work/run.log" ||
        { cat "$work/run.log" >&2; fail "$host: unexpected result"; }
    grep -q 'INSERT INTO "t"' "$out" || fail "$host wrote no rows"
    # The configuration may also come from the environment.
    PGDUMP_CONFIG=$config "$host" >/dev/null || fail "$host with PGDUMP_CONFIG failed"
done
psql_sb -d postgres -c 'DROP DATABASE IF EXISTS install_example WITH (FORCE)'
echo "check_install: passed"
