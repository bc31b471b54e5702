#!/usr/bin/env bash
# The program itself on a fresh Xvfb display: it starts, its window reaches the screen, and a
# termination request closes it cleanly (exit status 0). The window test app.xvfb_window runs a
# recovery through the same window class.
set -uo pipefail
korvid=${1:?usage: program_start_test.sh KORVID}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"

cat > "$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
# Runs on the Xvfb display: start, look at the screen, ask the program to end, report.
korvid=$1 work=$2
blank=$(xwd -root -silent | tr -d '\0' | wc -c)
HOME="$work/home" QT_QPA_PLATFORM=xcb "$korvid" >"$work/korvid.log" 2>&1 &
pid=$!
painted=0
for _ in $(seq 1 50); do
  sleep 0.2
  painted=$(xwd -root -silent | tr -d '\0' | wc -c)
  [ "$painted" -gt $((blank + 100000)) ] && break
done
echo "screen bytes: blank $blank, with the window $painted"
kill -0 "$pid" 2>/dev/null && echo "running: yes" || echo "running: no"
[ "$painted" -gt $((blank + 100000)) ] && echo "window shown: yes" || echo "window shown: no"
kill -TERM "$pid" 2>/dev/null
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
  echo "closed: no"
  kill -KILL "$pid"
fi
wait "$pid"
echo "exit status: $?"
SESSION

xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/session.sh" "$korvid" "$work" >"$work/report.txt" 2>&1
cat "$work/report.txt"

passed=0 failed=0
check() {
  if grep -qx "$1" "$work/report.txt"; then
    passed=$((passed + 1)); echo "ok   $1"
  else
    failed=$((failed + 1)); echo "FAIL $1"
  fi
}
check "running: yes"
check "window shown: yes"
check "exit status: 0"
if [ "$failed" -gt 0 ]; then
  echo "--- program output"
  cat "$work/korvid.log"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
