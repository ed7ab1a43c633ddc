# For the test scripts that call programs of their own: a check whose program
# is missing is skipped and says so, and the test then ends with status 77,
# which ctest shows as skipped (SKIP_RETURN_CODE 77), never as passed.
# tools/deps.sh installs every one of these programs; with TERVANE_REQUIRE_TOOLS=1
# (the fresh-machine check) a missing one is a failure instead.

missing_tools=()

# need PROGRAM PACKAGE: true when PROGRAM is on the PATH; otherwise notes the
# package it comes from and is false (or, when tools are required, fails the
# test at its end through `tools_fail`, which the caller provides).
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  if [ "${TERVANE_REQUIRE_TOOLS:-0}" = 1 ]; then
    tools_fail "$1 is not installed (Debian package $2)"
  else
    echo "SKIP: $1 is not installed (Debian package $2); the checks that need it are skipped"
    missing_tools+=("$1")
  fi
  return 1
}

# The status for a test that passed every check it could run: 77 when some
# were skipped for a missing program, else 0.
tools_status() {
  if [ ${#missing_tools[@]} -ne 0 ]; then
    echo "skipped in part: ${missing_tools[*]} not installed (tools/deps.sh installs them)"
    return 77
  fi
  return 0
}
