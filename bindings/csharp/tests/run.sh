#!/bin/sh
# Compiles the C# kit and its test with Mono's mcs and runs them under mono
# against the library in BUILD_DIR and the sandbox server, with a non-ASCII
# role.  Exits 77 (skipped) without mcs/mono or without a server.
# Usage: run.sh BUILD_DIR
set -e
kit=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
command -v mcs >/dev/null && command -v mono >/dev/null || { echo "no mono: skipped"; exit 77; }
if [ -z "$PGDUMP_TEST_HOST" ]; then
    echo "no sandbox server: skipped"
    [ "$PGDUMP_REQUIRE_SERVER" = 1 ] && exit 1
    exit 77
fi
out=$build/csharp-kit
mkdir -p "$out"
mcs -nologo -warnaserror -out:"$out/KitTest.exe" "$kit/VeltranoPgDump.cs" "$kit/tests/KitTest.cs"
export KIT_USER="jürgen_ünïcode_cs" KIT_PASSWORD="pässwörd-€-😀" KIT_DATABASE=vpg_cskit
export KIT_OUT="$out/kit dump ü.sql"
q() { psql -X -q -v ON_ERROR_STOP=1 -h "$PGDUMP_TEST_HOST" -p "$PGDUMP_TEST_PORT" -U vpg_trust "$@" >/dev/null; }
q -d postgres -c "DROP DATABASE IF EXISTS vpg_cskit" -c "DROP DATABASE IF EXISTS vpg_cskit_copy" \
  -c "DROP ROLE IF EXISTS \"$KIT_USER\"" \
  -c "CREATE ROLE \"$KIT_USER\" LOGIN SUPERUSER PASSWORD '$KIT_PASSWORD'" \
  -c "CREATE DATABASE vpg_cskit OWNER \"$KIT_USER\"" -c "CREATE DATABASE vpg_cskit_copy OWNER \"$KIT_USER\"" 2>/dev/null
q -d vpg_cskit -c "CREATE TABLE größe (id int PRIMARY KEY, t text)" \
  -c "INSERT INTO größe SELECT g, 'zeile ' || g FROM generate_series(1, 50000) g" -c "ANALYZE größe"
LD_LIBRARY_PATH=$build exec mono "$out/KitTest.exe"
