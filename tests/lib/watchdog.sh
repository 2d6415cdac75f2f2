# A time limit for a test script, shared by the end-to-end suites. Sourced;
# the script defines say(). After SECONDS the script gets USR1, says so and
# exits 1. The watchdog's sleep holds no output open and goes with it, so the
# script ends as soon as its work does.
#   watchdog_start SECONDS
#   watchdog_stop            (in the script's clean-up; harmless when none runs)

watchdog_start() {  # SECONDS
  local limit=$1
  (
    exec >/dev/null 2>&1
    trap 'kill $sleeper 2>/dev/null; exit 0' TERM
    sleep "$limit" &
    sleeper=$!
    wait $sleeper && kill -USR1 $$
  ) &
  watchdog=$!
  trap 'say "time limit of '"$limit"'s reached"; exit 1' USR1
}

watchdog_stop() {
  if [ -n "${watchdog:-}" ]; then
    kill "$watchdog" 2>/dev/null && wait "$watchdog" 2>/dev/null
    watchdog=
  fi
  return 0
}
