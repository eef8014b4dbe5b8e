#!/bin/sh
# Runs a test that opens windows. The first program of a Wine session decides
# the display of every later one, so a run that gives all its programs one
# display (tests/run.sh) is used as it is; alone, the test gets a virtual
# display of its own, searched from VELNIK_DISPLAY_BASE up.
#   with-display.sh COMMAND [ARGS...]
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
exec xvfb-run -a -n "${VELNIK_DISPLAY_BASE:-99}" -s "-screen 0 1024x768x24" "$@"
