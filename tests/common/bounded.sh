# Sourced by the test scripts. bounded SECONDS COMMAND...: runs COMMAND as
# `timeout` would (exit 124 when it is ended for taking too long), but before
# ending it says what it and the Wine processes were doing: running (a loop of
# ours) or sleeping (waiting for the Wine server or another process), and where
# each of its threads waited. Standard output and error are COMMAND's own.
bounded() {
  local limit=$1 pid waited=0
  shift
  "$@" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$waited" -ge $((limit * 10)) ]; then
      {
        echo "bounded: '$*' still running after ${limit} s; its threads:"
        ps -L -o pid,lwp,stat,pcpu,wchan:32,etime,comm -p "$pid" 2>/dev/null
        echo "bounded: the Wine processes:"
        ps -eo pid,ppid,stat,pcpu,wchan:24,etime,args 2>/dev/null |
          awk 'NR == 1 || $7 ~ /^[A-Za-z]:\\|wineserver|wine64|preloader/' | cut -c1-200
      } >&2
      kill -TERM "$pid" 2>/dev/null
      # Up to ten seconds to end on its own, then it is killed.
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      return 124
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  wait "$pid"
}
