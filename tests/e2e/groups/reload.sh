# What survives a restart and a configuration change: the cache file across a
# stop and a start, a cut cache file, and SIGHUP with a good and a bad file.

QUEUED="250 2.0.0 Ok: queued as"
FAILED="550 5.1.8 Sender address verification"
CLIENT="[$CLIENT_ADDR]"

verdict() {
  smtp_send "$1" rcpt@elsewhere.test >/dev/null
  cut -d' ' -f1-5 "$BED/last"
}
settings_text() {
  printf 'publicname mx.korvane.test\nsafecallback postmaster@korvane.test\ncachefile %s\ncontrol unix:%s\n' \
    "$BED/state/cache" "$BED/run/ctl"
}

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
  reload_main
}

# SIGHUP, then up to 10 s for its outcome line; prints the lines of the reload.
hup() {
  local mark; mark=$(mark_log)
  kill -HUP "$KORVANE_PID"
  wait_korvane_log "$mark" 'configuration (not )?reloaded' || bed_note "no reload line after SIGHUP"
  korvane_log "$mark" | grep -E 'reload|restart'
}

# paced_senders N: one message every 50 ms, each from the next of the senders,
# each in its own session; prints "sender code" per message.
paced_senders() {
  "$PY" - "$MTA_ADDR" "$CLIENT_ADDR" "$1" <<'EOF2'
import smtplib, sys, threading, time
server, source, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
senders = ["alice@good.test", "bob@good.test", "nobody@good.test", "carol@good.test"]
out = [None] * n
def one(i):
    s = senders[i % len(senders)]
    try:
        with smtplib.SMTP(server, 25, source_address=(source, 0), timeout=30) as c:
            c.ehlo("client.example.test")
            c.mail(s)
            c.rcpt("rcpt@elsewhere.test")
            code, _ = c.data(b"Subject: paced\r\n\r\nbody\r\n")
            out[i] = f"{s} {code}"
    except smtplib.SMTPResponseException as e:
        out[i] = f"{s} {e.smtp_code}"
    except Exception as e:
        out[i] = f"{s} error {type(e).__name__}"
threads = []
for i in range(n):
    threads.append(threading.Thread(target=one, args=(i,)))
    threads[-1].start()
    time.sleep(0.05)
for t in threads:
    t.join(60)
print("\n".join(o or "unfinished" for o in out))
EOF2
}

reload_main() {
  local lm mm conf=$BED/korvane.conf
  expect_eq "a fresh refusal before the reload" "$FAILED" "$(verdict nobody@good.test)"
  echo 'whitelistfrom nobody@good.test' >> "$conf"
  mm=$(mark_mx 192.0.2.10)
  expect_eq "whitelistfrom added, SIGHUP: logged" "mail.notice configuration reloaded" "$(hup)"
  expect_eq "the whitelisted sender passes" "$QUEUED" "$(verdict nobody@good.test)"
  lm=$(mark_log)
  expect_eq "another sender after the reload" "$QUEUED" "$(verdict alice@good.test)"
  expect_eq "the cache is kept: still (cached)" "mail.info sender check succeeded (cached)" \
    "$(korvane_log "$lm" | sed -E 's/: from=.*//')"
  expect_eq "no callout after the reload" 0 "$(mx_connections 192.0.2.10 "$mm")"

  # The whitelist line taken out again, but the file holds a bad line: nothing changes.
  sed -i '/^whitelistfrom/d' "$conf"
  printf 'frobnicate 1\nsocket unix:%s/run/other.sock\n' "$BED" >> "$conf"
  expect_eq "a bad line, SIGHUP: the error line" \
    "mail.err [ERROR] configuration not reloaded: $conf:7: unknown key \"frobnicate\"" "$(hup)"
  expect_eq "a bad line: the old whitelist still applies" "$QUEUED" "$(verdict nobody@good.test)"
  local ctl; ctl="$(dirname "$KORVANE")/korvanectl"
  expect_eq "a bad line: korvanectl reload says why, status 1" \
    "1 korvanectl: error: configuration not reloaded: $conf:7: unknown key \"frobnicate\"" \
    "$(out=$("$ctl" -c "$conf" reload 2>&1); echo "$? $out")"
  sed -i '/^frobnicate/d' "$conf"
  lm=$(mark_log)
  expect_eq "the bad line gone, korvanectl reload" "0 configuration reloaded" \
    "$(out=$("$ctl" -c "$conf" reload 2>&1); echo "$? $out")"
  expect_eq "the bad line gone: socket kept, the rest applied" \
    "mail.warning needs a restart: socket|mail.notice configuration reloaded" \
    "$(korvane_log "$lm" | grep -E 'reload|restart' | paste -sd'|')"
  expect_eq "the new settings apply: the sender is refused again" "$FAILED" "$(verdict nobody@good.test)"

  # Under load: reloads while messages come every 50 ms change no verdict.
  local out hups=0 i
  paced_senders 80 > "$BED/paced.out" &
  local load=$!
  for ((i = 0; i < 6; i++)); do
    sleep 0.5
    sed -i "/^logwhitelisted/d" "$conf"; [ $((i % 2)) = 0 ] && echo 'logwhitelisted on' >> "$conf"
    kill -HUP "$KORVANE_PID" && hups=$((hups + 1))
  done
  wait "$load"
  out=$(sort "$BED/paced.out" | uniq -c | awk '{print $2, $3, $1}' | paste -sd'|')
  expect_eq "reloads under load ($hups SIGHUPs): every verdict as without them" \
    "alice@good.test 250 20|bob@good.test 250 20|carol@good.test 250 20|nobody@good.test 550 20" "$out"
  kill -0 "$KORVANE_PID" 2>/dev/null && t_ok "the daemon serves on after the reloads" ||
    t_bad "the daemon serves on after the reloads"
}
