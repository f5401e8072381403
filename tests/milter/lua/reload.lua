-- Show that a reload on SIGHUP decides the messages that begin after it by
-- the new settings, on a connection held open across it; that the message
-- in progress keeps the settings of its MAIL FROM; and that a file with an
-- error keeps the running settings. CONF is the daemon's file, LOG its log.
dofile(LIB)

local function logged(text)
  local file = assert(io.open(LOG, "rb"))
  local log = file:read("a")
  file:close()
  return log:find(text, 1, true) ~= nil
end

local function reload(content, wanted)
  local file = assert(io.open(CONF, "w"))
  file:write(content)
  file:close()
  os.execute("kill -HUP " .. PID)
  for _ = 1, 100 do
    if logged(wanted) then return end
    mt.sleep(0.05)
  end
  check(false, "logged after SIGHUP: " .. wanted)
end

local conn = connect()
-- Begun under the first pattern, which does not know the forged domain.
mt.macro(conn, SMFIC_MAIL, "i", "RELOAD1")
check(mt.mailfrom(conn, "<>") == nil and mt.getreply(conn) == SMFIR_CONTINUE, "MAIL FROM")
for _, header in ipairs(FORGED.headers) do check(mt.header(conn, header.name, header.value) == nil, "header") end
reload("pattern = .*@(forged-sender\\.)?example\\.(com|net)$\n", "reloaded on SIGHUP")
check(mt.eoh(conn) == nil and mt.getreply(conn) == SMFIR_CONTINUE, "end of headers")
check(mt.bodystring(conn, FORGED.body) == nil and mt.getreply(conn) == SMFIR_CONTINUE, "body")
check(mt.eom(conn) == nil and mt.getreply(conn) == SMFIR_REPLYCODE, "the message in progress keeps its pattern")
-- The next one on the same connection: the new pattern knows its ID.
expect(conn, "<>", FORGED, SMFIR_ACCEPT, "eom", "RELOAD2")
reload("pattern = (a\n", "reload.conf:1: invalid value \"(a\" for pattern")
expect(conn, "<>", FORGED, SMFIR_ACCEPT, "eom", "RELOAD3")
mt.disconnect(conn)
