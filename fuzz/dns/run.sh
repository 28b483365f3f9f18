#!/bin/sh
# Builds the DNS wire fuzzer with clang-14 (libFuzzer, ASan, UBSan) and runs it.
# Usage: fuzz/dns/run.sh [runs] [extra libFuzzer options...]
# Default 3,000,000 runs; the corpus is kept in $FUZZ_DIR (default build-dns/fuzz/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${FUZZ_DIR:-$root/build-dns/fuzz}
runs=${1:-3000000}
[ $# -gt 0 ] && shift
mkdir -p "$out/corpus"
dns="$root/agent/dns"
clang++-14 -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DQT_NO_CAST_FROM_BYTEARRAY -I"$dns" $(pkg-config --cflags Qt5Core) \
    "$here/fuzz_dns_wire.cpp" "$dns/DnsMessage.cpp" "$dns/DotFrameReader.cpp" \
    "$dns/HttpResponseReader.cpp" "$dns/RequestTable.cpp" \
    $(pkg-config --libs Qt5Core) -lz -o "$out/fuzz_dns_wire"
# Seeds: a query, a framed answer, an HTTP response.
printf '\000\022\064\001\000\000\001\000\000\000\000\000\001\003www\007example\003com\000\000\001\000\001' > "$out/corpus/seed-query"
printf '\001\001\000\014\022\064\201\200\000\001\000\000\000\000\000\000' > "$out/corpus/seed-dot"
printf '\002\003HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n\022\064\201\200\000\000\000\000\000\000\000\000HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n' > "$out/corpus/seed-http"
exec "$out/fuzz_dns_wire" -artifact_prefix="$out/" -runs="$runs" -max_len=4096 -print_final_stats=1 "$@" "$out/corpus"
