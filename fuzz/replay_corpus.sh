#!/bin/sh
# Runs every file of a corpus directory through a fuzzer once (libFuzzer's
# run-once mode: file arguments are executed, not mutated). Used by ctest in
# sanitizer builds: a committed reproducer that crashes again fails the test.
#   fuzz/replay_corpus.sh FUZZER CORPUS_DIR
set -eu
fuzzer=$1
corpus=$2
set -- "$corpus"/*
if [ ! -f "$1" ]; then
  echo "no corpus files in $corpus" >&2
  exit 1
fi
exec "$fuzzer" -timeout=60 -rss_limit_mb=4096 "$@"
