-- Recipient checks with relay macros in forms a local Postfix does not produce.
-- Each case has a recipient of its own, so no case is answered from another's cache entry.
local function rcpt(mailer, host, addr)
  local m = {}
  if mailer then table.insert(m, "{rcpt_mailer}"); table.insert(m, mailer) end
  if host then table.insert(m, "{rcpt_host}"); table.insert(m, host) end
  if addr then table.insert(m, "{rcpt_addr}"); table.insert(m, addr) end
  table.insert(m, "i"); table.insert(m, "MT0001")
  return {m}
end
return {
  {label = "esmtp to a bracketed literal, mailbox exists", rcpts = {"<r1@x.test>"}, rcpt = rcpt("esmtp", "[192.0.2.10]", "alice@good.test")},
  {label = "esmtp to a bracketed literal, no such mailbox", rcpts = {"<r2@x.test>"}, rcpt = rcpt("esmtp", "[192.0.2.10]", "nobody@good.test")},
  {label = "literal without its closing bracket", rcpts = {"<r3@x.test>"}, rcpt = rcpt("smtp", "[192.0.2.10", "bob@good.test")},
  {label = "smtp to a host name walks its exchangers", rcpts = {"<r4@x.test>"}, rcpt = rcpt("smtp", "good.test", "carol@good.test")},
  {label = "mailer local", rcpts = {"<r5@x.test>"}, rcpt = rcpt("local", "korvane.test", "nobody@good.test")},
  {label = "mailer LOCAL in capitals", rcpts = {"<r6@x.test>"}, rcpt = rcpt("LOCAL", "korvane.test", "nobody@good.test")},
  {label = "mailer relay is not probed", rcpts = {"<r7@x.test>"}, rcpt = rcpt("relay", "[192.0.2.10]", "nobody@good.test")},
  {label = "no mailer macro", rcpts = {"<r8@x.test>"}, rcpt = rcpt(nil, "[192.0.2.10]", "nobody@good.test")},
  {label = "no host macro", rcpts = {"<r9@x.test>"}, rcpt = rcpt("esmtp", nil, "nobody@good.test")},
  {label = "no address macro", rcpts = {"<r10@x.test>"}, rcpt = rcpt("esmtp", "[192.0.2.10]", nil)},
  {label = "malformed recipient", rcpts = {"r11@x.test"}, rcpt = rcpt("esmtp", "[192.0.2.10]", "nobody@good.test")},
}
