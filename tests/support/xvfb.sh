# Sourced by the tests that run programs on an X server without a screen.
# start_xvfb WORK: starts Xvfb on a free display (Xvfb chooses it and names it, so tests that run at the same
# time never race for one; its log in WORK) and waits until it takes connections; sets display and xvfb (its
# process). Fails with a message otherwise.
start_xvfb() {
  : >"$1/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$1/display" >"$1/xvfb.log" 2>&1 &
  xvfb=$!
  i=0
  until [ -s "$1/display" ] && [ -e "/tmp/.X11-unix/X$(cat "$1/display")" ]; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "Xvfb did not start"; cat "$1/xvfb.log"; return 1; }
    sleep 0.1
  done
  display=$(cat "$1/display")
}
