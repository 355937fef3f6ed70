# Sourced by the tests that run programs on an X server without a screen.
# start_xvfb FIRST WORK: starts Xvfb on the first free display number from FIRST on (its log in WORK) and
# waits until it takes connections; sets display and xvfb (its process). Fails with a message otherwise.
start_xvfb() {
  display=
  n=$1
  while [ $n -lt $(($1 + 100)) ]; do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=$n; break; fi
    n=$((n + 1))
  done
  [ -n "$display" ] || { echo "no free display number"; return 1; }
  Xvfb :$display -nolisten tcp -screen 0 1024x768x24 >"$2/xvfb.log" 2>&1 &
  xvfb=$!
  i=0
  until [ -e /tmp/.X11-unix/X$display ]; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "Xvfb did not start"; cat "$2/xvfb.log"; return 1; }
    sleep 0.1
  done
}
