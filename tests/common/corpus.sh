# Sourced by the test scripts. have_corpus REL: true when the shared public
# corpus REL (a file or folder under the shared folder) is there; otherwise
# names it on the output. A script that could not check everything for that
# reason ends with `exit_skipped_if_missing` (exit code 77: CTest's skip).
_corpus_missing=0
have_corpus() {
  if [ -n "${DELVARO_UNIX_SHARED:-}" ] && [ -e "$DELVARO_UNIX_SHARED/$1" ]; then return 0; fi
  echo "public corpus missing: $1 (looked under ${DELVARO_UNIX_SHARED:-<DELVARO_UNIX_SHARED not set>})"
  _corpus_missing=1
  return 1
}
# Ends the script: its own failure first, else skipped when a corpus was missing.
finish_with() {
  if [ "$1" != 0 ]; then exit "$1"; fi
  if [ "$_corpus_missing" = 1 ]; then echo "skipped: checks that need the shared public corpora did not run"; exit 77; fi
  exit 0
}
