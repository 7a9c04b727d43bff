#!/usr/bin/env bash
# Runs one end-to-end test group inside a bed of its own (private namespaces, DNS,
# fake exchangers, syslog sink, Postfix). Usage: run.sh GROUP [KORVANE_BINARY]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/bed.sh"
bed_enter "$@"

group=${1:?usage: run.sh GROUP [KORVANE_BINARY]}
KORVANE=${2:-${KORVANE:-}}
[ -f "$here/groups/$group.sh" ] || bed_die "no test group $group"
[ -z "$KORVANE" ] || KORVANE=$(readlink -f "$KORVANE")

trap bed_down EXIT
. "$here/groups/$group.sh"
bed_up "${GROUP_BED:-}"
echo "== e2e group $group (bed in $BED)"
group_main
t_summary
