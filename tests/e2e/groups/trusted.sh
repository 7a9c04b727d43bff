# Trusted-client rules at MAIL FROM, driven by miltertest with the macros Postfix
# never sends ({if_addr}, {verify}) and an {auth_authen} that is present but empty.
GROUP_BED=no-mta

group_main() {
  korvane_start <<'EOF2' || { t_bad "korvane starts"; return; }
publicname mx.korvane.test
sav off
EOF2
  local got label want
  got=$(milter_cases trusted.lua)
  [ -n "${E2E_DEBUG:-}" ] && printf "%s\n" "$got"
  while IFS='|' read -r label want; do
    expect_has "$label" "$label: $want" "$got"
  done <<'EOF2'
no trust macros|CONTINUE
auth_authen with a name|ACCEPT
auth_authen present but empty|ACCEPT
auth_authen with a malformed sender|ACCEPT
verify OK|ACCEPT
verify ok in small letters|CONTINUE
verify OK with a trailing space|CONTINUE
verify FAIL|CONTINUE
if_addr equal to the client at MAIL|ACCEPT
if_addr equal to the client at connect|ACCEPT
if_addr of another interface|CONTINUE
if_addr a prefix of the client|CONTINUE
untrusted malformed sender|REPLYCODE
EOF2
  group_main_negotiate
}

# Negotiated without a reply at connect, and still answered for an MTA without that.
group_main_negotiate() {
  local got
  got=$(miltertest -D "socket=unix:$BED/run/korvane.sock" -s "$E2E_LIB/../milter/negotiate.lua" 2>&1)
  expect_eq "connect reply by what the MTA offers" "all offered replies: connect none, mail REPLYCODE
no reply-less steps replies: connect CONTINUE, mail REPLYCODE" "$got"
}
