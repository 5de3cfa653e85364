#!/bin/sh
# Rebuilds the seed corpus of fuzz_knowledge from these sources with the
# project's dictionary compiler: make-seeds.sh BUILD_DIR
set -e
here=$(cd "$(dirname "$0")" && pwd)
dict="${1:-build}/quillmark-dict"
out="$here/../corpus/knowledge"
mkdir -p "$out"
"$dict" build --kind threats "$here/threats.tsv" -o "$out/threats.mdict"
"$dict" build --kind bwlists "$here/signers.tsv" "$here/companies.tsv" "$here/networks.tsv" -o "$out/bwlists.mdict"
"$dict" build --kind sysfiles "$here/sysfiles.tsv" -o "$out/sysfiles.mdict"
"$dict" build --kind scheme "$here/scheme.tsv" -o "$out/scheme.mdict"
