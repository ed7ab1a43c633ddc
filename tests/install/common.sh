# Shared by the installation checks: failure reporting, the programs they call
# and the expected files. The caller sets `gui` (1 when the windows are built)
# and `here` (this folder).

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
tools_fail() { fail "$@"; }
source "$here/../tools.sh"

# The expected files, relative to the prefix, sorted.
expected_files() {
  local kind path
  while read -r kind path; do
    [[ $path == /* ]] && continue
    case $kind in
      all) echo "$path" ;;
      gui) if [ "$gui" = 1 ]; then echo "$path"; fi ;;
    esac
  done < <(grep -v '^#' "$here/files.txt") | LC_ALL=C sort
}

# The expected files outside the prefix, relative to the root, sorted.
expected_outside_files() {
  local kind path
  while read -r kind path; do
    [[ $path == /* ]] || continue
    case $kind in
      all) echo "${path#/}" ;;
      gui) if [ "$gui" = 1 ]; then echo "${path#/}"; fi ;;
    esac
  done < <(grep -v '^#' "$here/files.txt") | LC_ALL=C sort
}

# Compares two sorted lists of paths given as files; names what is missing and
# what should not be there.
compare_lists() {  # what expected actual
  local missing extra
  missing=$(LC_ALL=C comm -23 "$2" "$3")
  extra=$(LC_ALL=C comm -13 "$2" "$3")
  [ -z "$missing" ] || fail "$1 lacks: $(echo "$missing" | tr '\n' ' ')"
  [ -z "$extra" ] || fail "$1 holds files it should not: $(echo "$extra" | tr '\n' ' ')"
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  local status=0
  tools_status || status=$?
  echo "all checks that ran passed"
  exit "$status"
}
