# Process bookkeeping of scripts/sandbox: every process the sandbox starts is
# recorded as "<pid> <start time>" in $ZS_DIR/pids/<role>, and only a process
# whose pid and start time both still match is ever signalled, so a recycled
# pid is left alone. Sourced by scripts/sandbox; expects ZS_DIR.

# Prints the kernel's start time (clock ticks since boot) of PID; fails when
# the process is gone or only a zombie is left.
zs_proc_start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  # The command name may contain spaces and parentheses: parse after the last ')'.
  local rest=${stat##*) }
  local fields
  read -r -a fields <<<"$rest"
  [ "${fields[0]}" != Z ] || return 1
  # Field 22 of the line is the 20th after the command name.
  echo "${fields[19]}"
}

zs_record_pid() { # ROLE PID
  local start
  start=$(zs_proc_start_time "$2") || return 1
  echo "$2 $start" >"$ZS_DIR/pids/$1"
}

# True while the process recorded for ROLE still runs.
zs_role_alive() { # ROLE
  local file="$ZS_DIR/pids/$1" pid start now
  [ -f "$file" ] || return 1
  read -r pid start <"$file" || return 1
  now=$(zs_proc_start_time "$pid") || return 1
  [ "$now" = "$start" ]
}

zs_role_pid() { # ROLE
  local pid start
  read -r pid start <"$ZS_DIR/pids/$1" && echo "$pid"
}

# Waits up to TENTHS tenths of a second for ROLE's process to end.
zs_wait_role_gone() { # ROLE TENTHS
  local i
  for ((i = 0; i < $2; i++)); do
    zs_role_alive "$1" || return 0
    sleep 0.1
  done
  ! zs_role_alive "$1"
}

# Prints the one-letter state of PID ("S", "R", "T" when stopped, ...).
zs_proc_state() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  echo "${stat%% *}"
}

# Pauses (STOP) or resumes (CONT) ROLE's process and returns once the kernel
# shows it so, at most 2 s later.
zs_pause_role() { # ROLE STOP|CONT
  local pid i state
  if ! zs_role_alive "$1"; then
    echo "sandbox: $1 is not running" >&2
    return 1
  fi
  pid=$(zs_role_pid "$1")
  kill "-$2" "$pid" || return 1
  for ((i = 0; i < 200; i++)); do
    state=$(zs_proc_state "$pid") || return 1
    if [ "$2" = STOP ]; then [ "$state" = T ] && return 0; else [ "$state" != T ] && return 0; fi
    sleep 0.01
  done
  echo "sandbox: $1 (pid $pid) did not take SIG$2" >&2
  return 1
}

# Stops ROLE's process: TERM (after CONT, should it be paused), then KILL if
# it outlives 5 s; forgets the record.
zs_stop_role() { # ROLE
  local file="$ZS_DIR/pids/$1" pid
  [ -f "$file" ] || return 0
  if zs_role_alive "$1"; then
    pid=$(zs_role_pid "$1")
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
    if ! zs_wait_role_gone "$1" 50; then
      echo "sandbox: $1 (pid $pid) ignored TERM, killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      zs_wait_role_gone "$1" 20 || echo "sandbox: $1 (pid $pid) is still there" >&2
    fi
  fi
  rm -f "$file"
}

# Starts CMD in the background, detached from the caller's terminal and
# process group, with output appended to LOG; records it as ROLE. setsid does
# not fork here (a background child is never a group leader), so the pid
# recorded is that of the final program once the exec chain is through.
zs_start_recorded() { # ROLE LOG CMD...
  local role=$1 log=$2
  shift 2
  setsid "$@" </dev/null >>"$log" 2>&1 &
  local pid=$!
  zs_record_pid "$role" "$pid" || {
    echo "sandbox: $role exited at once, see $log" >&2
    return 1
  }
}
