-- The connect step as korvane negotiates it: unanswered when the MTA offers that,
-- and still answered "continue" for an MTA without no-reply steps.
-- Run: miltertest -D socket=unix:PATH -s negotiate.lua
local names = {[SMFIR_CONTINUE] = "CONTINUE", [SMFIR_REPLYCODE] = "REPLYCODE"}
local function session(label, steps)
  local conn = mt.connect(socket, 20, 0.25)
  if conn == nil then error("cannot connect to " .. socket) end
  local err = mt.negotiate(conn, 6, 0x1ff, steps)
  if err then error("negotiate: " .. err) end
  if mt.conninfo(conn, "client.example.test", "192.0.2.7") then error("conninfo") end
  local connect = (steps & 0x1000) ~= 0 and "none" or (names[mt.getreply(conn)] or "?")
  -- A malformed sender: a stray reply left over from connect would read as its answer.
  if mt.mailfrom(conn, "alice@good.test") then error("mailfrom") end
  local mail = names[mt.getreply(conn)] or "?"
  mt.echo(label .. " replies: connect " .. connect .. ", mail " .. mail)
  mt.disconnect(conn)
end

for _, s in ipairs({{"all offered", 0x1fffff}, {"no reply-less steps", 0x3ff}}) do
  local ok, err = pcall(session, s[1], s[2])
  if not ok then mt.echo(s[1] .. ": ERROR " .. tostring(err)) end
end
