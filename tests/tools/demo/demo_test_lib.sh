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
