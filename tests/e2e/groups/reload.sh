# What survives a restart and a configuration change: the cache file across a
# stop and a start, a cut cache file, and SIGHUP with a good and a bad file.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification"
CLIENT="[$CLIENT_ADDR]"

verdict() {
  smtp_send "$1" rcpt@elsewhere.test >/dev/null
  cut -d' ' -f1-5 "$BED/last"
}
settings_text() { printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\ncachefile %s\n' "$BED/state/cache"; }

group_main() {
  mkdir -p "$BED/state" && chown postfix: "$BED/state"
  local lm mm
  korvane_start < <(settings_text) || { t_bad "korvane starts"; return; }
  expect_eq "a refused sender" "$FAILED" "$(verdict nobody@good.test)"
  lm=$(mark_log)
  korvane_stop
  expect_eq "the clean stop saves the cache, mode 0600, as the daemon's account" \
    "mail.info cache saved: 1 entries|600 postfix" \
    "$(korvane_log "$lm" | grep 'cache saved')|$(stat -c '%a %U' "$BED/state/cache" 2>&1)"

  lm=$(mark_log); mm=$(mark_mx 192.0.2.10)
  korvane_start < <(settings_text) || { t_bad "korvane starts again"; return; }
  expect_eq "the same sender after a restart: refused from the cache" "$FAILED" "$(verdict nobody@good.test)"
  expect_eq "the same sender after a restart: log" \
    "mail.info cache loaded: 1 entries from $BED/state/cache|mail.info sender check failed (cached)" \
    "$(korvane_log "$lm" | grep -E 'cache loaded|sender check' | sed -E 's/: from=.*//' | paste -sd'|')"
  expect_eq "the same sender after a restart: no callout" 0 "$(mx_connections 192.0.2.10 "$mm")"
  korvane_stop

  truncate -s 30 "$BED/state/cache"
  lm=$(mark_log)
  korvane_start < <(settings_text) || { t_bad "korvane starts with a cut cache file"; return; }
  expect_eq "a cut cache file: one warning, moved aside" \
    "mail.warning warning: cache file $BED/state/cache not loaded: truncated; moved to $BED/state/cache.bad|1" \
    "$(korvane_log "$lm" | grep -E 'cache (file|loaded)' | paste -sd'|')|$([ -s "$BED/state/cache.bad" ] && echo 1)"
  expect_eq "a cut cache file: the daemon serves" "$QUEUED" "$(verdict alice@good.test)"
}
