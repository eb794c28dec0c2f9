# Times the phases of a build-and-test run and prints each beside its budget at the end.
# Sourced by scripts/test.sh and .ci/run; the times of one run go to $VEXLAN_PHASE_LOG, so
# that both scripts add to one table.
#   phase NAME BUDGET_SECONDS COMMAND [ARGS...]   runs the command, notes its time
#   reserve NAME BUDGET_SECONDS                   room kept for work not yet in the run
#   print_phases                                  the table, and the total against the limit
: "${VEXLAN_PHASE_LOG:=$(mktemp /tmp/vexlan-phases.XXXXXX)}"
export VEXLAN_PHASE_LOG
# The limit the whole run, reserves included, must stay under.
VEXLAN_RUN_LIMIT=${VEXLAN_RUN_LIMIT:-1200}

phase() {
  local name=$1 budget=$2 start rc=0
  shift 2
  start=$(date +%s%N)
  "$@" || rc=$?
  printf 'phase\t%s\t%s\t%d\t%s\n' "$name" "$budget" $((($(date +%s%N) - start + 500000000) / 1000000000)) "$rc" \
    >> "$VEXLAN_PHASE_LOG"
  return "$rc"
}

reserve() {
  printf 'reserve\t%s\t%s\t0\t0\n' "$1" "$2" >> "$VEXLAN_PHASE_LOG"
}

print_phases() {
  [ -s "$VEXLAN_PHASE_LOG" ] || return 0
  echo
  echo "==> time by phase (seconds)"
  awk -F'\t' -v limit="$VEXLAN_RUN_LIMIT" '
    { kind = $1; name = $2; budget = $3; took = $4; rc = $5
      if (kind == "phase") {
        mark = (took > budget ? "  OVER BUDGET" : "")
        if (rc != 0) mark = mark "  (failed)"
        printf "  %-28s %6d  budget %5d%s\n", name, took, budget, mark
        spent += took
      } else {
        printf "  %-28s %6s  budget %5d  (reserved)\n", name, "-", budget
        reserved += budget
      }
      budgets += budget }
    END {
      printf "  %-28s %6d  budget %5d\n", "total run", spent, budgets - reserved
      printf "  %-28s %6d  limit  %5d%s\n", "run with the reserves", spent + reserved, limit,
             (spent + reserved > limit ? "  OVER THE LIMIT" : "")
    }' "$VEXLAN_PHASE_LOG"
}
