# Sourced by the demo tests: demo_test_begin NAME SCRIPT BUILD MEDIA checks the arguments (BUILD: the build
# folder; MEDIA: a folder to keep the clips in), re-runs SCRIPT in a network namespace of its own, skips
# (exit 77) where node packages, ffmpeg or Xvfb are missing, and makes the run folder $run (removed at exit
# unless DEMO_KEEP is set). It sets build, media, root, run and failures; say and fail print as NAME.
demo_test_begin() {
  demo_test_name=$1
  shift
  build=${2:-} media=${3:-}
  if [ ! -x "$build/app/velmora" ] || [ -z "$media" ]; then
    echo "usage: $(basename "$1") BUILD MEDIA" >&2
    exit 2
  fi
  root=$(cd "$(dirname "$1")/../../.." && pwd)
  . "$root/tests/lib/own_netns_or_skip.sh"
  own_netns_or_skip "$@"
  local c d
  for c in node ffmpeg ffprobe xvfb-run; do command -v $c >/dev/null || { say "SKIP: no $c"; exit 77; }; done
  for d in cloudsim s3peer; do
    [ -d "$root/tools/$d/node_modules" ] || { say "SKIP: no packages in tools/$d (scripts/deps)"; exit 77; }
  done
  run=$(mktemp -d)
  trap '[ -n "${DEMO_KEEP:-}" ] || rm -rf "$run"' EXIT
  [ -n "${DEMO_KEEP:-}" ] && say "kept: $run"
  failures=0
}
say() { echo "$demo_test_name: [${SECONDS}s] $*"; }
fail() {
  say "FAIL: $*"
  failures=$((failures + 1))
}

# Fails unless FILE is a picture ffprobe reads; WHAT names it in the failure.
demo_check_picture() {
  local size
  size=$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$1" 2>&1)
  case "$size" in [0-9]*,[0-9]*) ;; *) fail "$2 is no picture: $size" ;; esac
}

# Fails when a program of the world, or any process naming the run folder, still runs.
demo_check_all_ended() {
  local left="" pid name p
  while read -r pid name; do kill -0 "$pid" 2>/dev/null && left+=" $name($pid)"; done <"$run/world/pids"
  for p in /proc/[0-9]*; do
    grep -qa -- "$run" "$p/cmdline" 2>/dev/null && left+=" $(tr '\0' ' ' <"$p/cmdline" | cut -c1-60)(${p#/proc/})"
  done
  [ -z "$left" ] || fail "still running after the program ended:$left"
}

# The end of a demo test: with failures, what scripts/demo-run said, the report ($report), EXTRA (a command
# printing more) and the program log's tail, exit 1; else the report and "passed".
demo_test_end() {
  if [ $failures -ne 0 ]; then
    say "$failures failure(s); scripts/demo-run said:"
    sed 's/^/    /' "$run/out" | tail -60
    [ -f "$report" ] && sed 's/^/    report: /' "$report"
    [ -n "${1:-}" ] && "$@"
    tail -30 "$run/data/Velmora/velmora.log" 2>/dev/null | sed 's/^/    log: /'
    exit 1
  fi
  cat "$report"
  say "passed"
}
