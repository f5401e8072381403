-- Sends bounces by turns on one connection: the genuine bounce with its
-- returned Message-ID replaced by <RECORDED> (and, with DATE, its returned
-- copy dated so), then one returning a Message-ID of our domain that was
-- never sent; COUNT of them, or until the file STOP exists. Prints how many
-- got each answer.
dofile(LIB)
local own = load_message("bounce-of-own-message.eml")
own.body = own.body:gsub("<20261207091508%.4F2A1@example%.com>", "<" .. RECORDED .. ">")
if DATE then own.body = own.body:gsub("Date: Mon, 7 Dec 2026 10:15:08 %+0100", "Date: " .. DATE) end
local forged = load_message("bounce-of-forged-message.eml")
forged.body = forged.body:gsub("<7c41e0d2%.90fa@forged%-sender%.example%.net>", "<never.sent@example.com>")
local names = { [SMFIR_ACCEPT] = "accept", [SMFIR_TEMPFAIL] = "tempfail", [SMFIR_REPLYCODE] = "reject" }
local counts = { accept = 0, tempfail = 0, reject = 0, other = 0 }
local function stopped(n)
  if COUNT then return n >= tonumber(COUNT) end
  local file = io.open(STOP)
  if file then file:close() end
  return file ~= nil
end
local conn = connect()
-- From a client outside every --record-from network.
check(mt.conninfo(conn, "mx.example.org", "192.0.2.25") == nil, "connect step")
local n = 0
while not stopped(n) do
  n = n + 1
  local reply = send(conn, "<>", n % 2 == 1 and own or forged, "S" .. n)
  local name = names[reply] or "other"
  counts[name] = counts[name] + 1
end
mt.disconnect(conn)
mt.echo(string.format("bounces=%d accept=%d tempfail=%d reject=%d other=%d", n, counts.accept, counts.tempfail,
                      counts.reject, counts.other))
