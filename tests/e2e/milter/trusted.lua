-- Trusted clients at MAIL FROM: authenticated, verified certificate, own interface.
return {
  {label = "no trust macros", stage = "mail"},
  {label = "auth_authen with a name", stage = "mail", mail = {"{auth_authen}", "carol"}},
  {label = "auth_authen present but empty", stage = "mail", mail = {"{auth_authen}", ""}},
  {label = "auth_authen with a malformed sender", stage = "mail", mail = {"{auth_authen}", "carol"}, from = "alice@good.test"},
  {label = "verify OK", stage = "mail", mail = {"{verify}", "OK"}},
  {label = "verify ok in small letters", stage = "mail", mail = {"{verify}", "ok"}},
  {label = "verify OK with a trailing space", stage = "mail", mail = {"{verify}", "OK "}},
  {label = "verify FAIL", stage = "mail", mail = {"{verify}", "FAIL"}},
  {label = "if_addr equal to the client at MAIL", stage = "mail", ip = "192.0.2.7", mail = {"{if_addr}", "192.0.2.7"}},
  {label = "if_addr equal to the client at connect", stage = "mail", ip = "192.0.2.7", connect = {"{if_addr}", "192.0.2.7"}},
  {label = "if_addr of another interface", stage = "mail", ip = "192.0.2.7", mail = {"{if_addr}", "192.0.2.8"}},
  {label = "if_addr a prefix of the client", stage = "mail", ip = "192.0.2.70", mail = {"{if_addr}", "192.0.2.7"}},
  {label = "untrusted malformed sender", stage = "mail", from = "alice@good.test"},
}
