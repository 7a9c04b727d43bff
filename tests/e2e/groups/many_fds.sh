# More than 1024 descriptors: the daemon starts with 1100 descriptors already open,
# so every socket it then makes (milter connections, callouts) is numbered above
# 1024, where a fixed-size select() set could not hold it; callouts still work.

HELD=1100

group_main() {
  local conf="$BED/korvane.conf"
  printf 'socket unix:%s/run/korvane.sock\nuser postfix\npublicname mx.korvane.test\nsafecallback postmaster@korvane.test\n' \
    "$BED" > "$conf"
  bash -c 'ulimit -n 4096 || exit 9
for ((i = 0; i < $2; i++)); do exec {fd}</dev/null; done
exec "$0" -f -c "$1"' "$KORVANE" "$conf" "$HELD" >>"$BED/korvane.stderr" 2>&1 &
  KORVANE_PID=$!
  bed_wait 100 korvane_ready || { t_bad "korvane starts with $HELD descriptors open"; return; }
  local fds; fds=$(ls "/proc/$KORVANE_PID/fd" | wc -l)
  bed_note "the daemon holds $fds descriptors"
  [ "$fds" -gt 1024 ] && t_ok "more than 1024 descriptors open" || t_bad "more than 1024 descriptors open" "only $fds"

  smtp_send alice@good.test rcpt@elsewhere.test >/dev/null
  expect_eq "a fresh callout passes" "250 2.0.0 Ok: queued as" "$(cut -d' ' -f1-5 "$BED/last")"
  smtp_send nobody@good.test rcpt@elsewhere.test >/dev/null
  expect_eq "a fresh callout refuses" "550 5.1.8 Sender address verification failed, check your MX" "$(cat "$BED/last")"
  smtp_send dave@backup.test rcpt@elsewhere.test >/dev/null
  expect_eq "a refused connection, then the next exchanger" "250 2.0.0 Ok: queued as" "$(cut -d' ' -f1-5 "$BED/last")"
  expect_eq "no descriptor left behind" "$fds" "$(ls "/proc/$KORVANE_PID/fd" | wc -l)"
}
