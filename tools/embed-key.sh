#!/usr/bin/env bash
# Writes a C++ header holding a PEM public key as the client carries it:
# the PEM text Base64-encoded three times over, as one string constant.
set -euo pipefail
pem=${1:?usage: embed-key.sh PUBLIC.pem OUT.h}
out=${2:?usage: embed-key.sh PUBLIC.pem OUT.h}
grep -q 'BEGIN PUBLIC KEY' "$pem" || { echo "embed-key.sh: $pem holds no PEM public key" >&2; exit 1; }
text=$(base64 -w0 < "$pem" | base64 -w0 | base64 -w0)
tmp="$out.tmp"
{
    echo '// Generated at build time from the course server'"'"'s public key. Do not edit.'
    echo '#pragma once'
    echo "inline constexpr char serverKeyText[] = \"$text\";"
} > "$tmp"
mv "$tmp" "$out"
