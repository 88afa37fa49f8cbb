#!/bin/sh
# Compiles the Pascal kit's test with Free Pascal in Delphi mode against the
# library in BUILD_DIR and runs it against the sandbox server with a
# non-ASCII role.  Exits 77 (skipped) without fpc or without a server.
# Usage: run.sh BUILD_DIR
set -e
kit=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
command -v fpc >/dev/null || { echo "no fpc: skipped"; exit 77; }
if [ -z "$PGDUMP_TEST_HOST" ]; then
    echo "no sandbox server: skipped"
    [ "$PGDUMP_REQUIRE_SERVER" = 1 ] && exit 1
    exit 77
fi
out=$build/pascal-kit
mkdir -p "$out"
fpc -Mdelphi -Sh -vew -Fu"$kit" -Fl"$build" -FU"$out" -o"$out/kit_test" "$kit/tests/kit_test.pas" >"$out/fpc.log" 2>&1 ||
    { cat "$out/fpc.log"; exit 1; }
export KIT_USER="jürgen_ünïcode_pas" KIT_PASSWORD="pässwörd-€-😀" KIT_DATABASE=vpg_paskit
export KIT_OUT="$out/kit dump ü.sql"
q() { psql -X -q -v ON_ERROR_STOP=1 -h "$PGDUMP_TEST_HOST" -p "$PGDUMP_TEST_PORT" -U vpg_trust "$@" >/dev/null; }
q -d postgres -c "DROP DATABASE IF EXISTS vpg_paskit" -c "DROP DATABASE IF EXISTS vpg_paskit_copy" \
  -c "DROP ROLE IF EXISTS \"$KIT_USER\"" \
  -c "CREATE ROLE \"$KIT_USER\" LOGIN SUPERUSER PASSWORD '$KIT_PASSWORD'" \
  -c "CREATE DATABASE vpg_paskit OWNER \"$KIT_USER\"" -c "CREATE DATABASE vpg_paskit_copy OWNER \"$KIT_USER\"" 2>/dev/null
q -d vpg_paskit -c "CREATE TABLE größe (id int PRIMARY KEY, t text)" \
  -c "INSERT INTO größe SELECT g, 'zeile ' || g FROM generate_series(1, 50000) g" -c "ANALYZE größe"
LD_LIBRARY_PATH=$build exec "$out/kit_test"
