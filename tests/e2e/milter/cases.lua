-- Table-driven milter sessions for macro combinations a real Postfix never sends.
-- Run: miltertest -D socket=unix:PATH -D cases=FILE.lua -s cases.lua; prints "label: reply".
local unpack = table.unpack or unpack
local names = {}
for _, k in ipairs({"ACCEPT", "CONTINUE", "REJECT", "TEMPFAIL", "REPLYCODE", "DISCARD"}) do
  names[_G["SMFIR_" .. k]] = k
end

local function send_macros(conn, stage, list)
  if list and #list > 0 then
    local err = mt.macro(conn, stage, unpack(list))
    if err then error("mt.macro: " .. err) end
  end
end

local function reply_name(conn)
  local r = mt.getreply(conn)
  return names[r] or tostring(r)
end

-- Each case: label, client {host, ip}, macros per stage, sender, recipients,
-- and the stage whose reply is printed ("mail", "rcpt" (the last), "eoh").
local function run(c)
  local conn = mt.connect(socket, 20, 0.25)
  if conn == nil then error("cannot connect to " .. socket) end
  mt.set_timeout(c.timeout or 20)
  send_macros(conn, SMFIC_CONNECT, c.connect)
  if mt.conninfo(conn, c.host or "client.example.test", c.ip or "192.0.2.7") then error("conninfo") end
  send_macros(conn, SMFIC_MAIL, c.mail)
  if mt.mailfrom(conn, c.from or "<alice@good.test>") then error("mailfrom") end
  local got = reply_name(conn)
  if c.stage ~= "mail" and got == "CONTINUE" then
    -- As with an MTA, the message reaches its headers when any recipient was taken.
    local taken = false
    for i, rcpt in ipairs(c.rcpts or {"<rcpt@elsewhere.test>"}) do
      send_macros(conn, SMFIC_RCPT, c.rcpt and c.rcpt[i])
      if mt.rcptto(conn, rcpt) then error("rcptto") end
      got = reply_name(conn)
      taken = taken or got == "CONTINUE"
    end
    if c.stage == "eoh" and taken then
      if mt.eoh(conn) then error("eoh") end
      got = reply_name(conn)
    end
  end
  mt.echo(c.label .. ": " .. got)
  mt.disconnect(conn)
end

-- miltertest ends silently on a Lua error; say which case broke and why.
for _, c in ipairs(dofile(cases)) do
  local ok, err = pcall(run, c)
  if not ok then mt.echo(c.label .. ": ERROR " .. tostring(err)) end
end
