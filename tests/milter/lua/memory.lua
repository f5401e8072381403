-- Show that 10000 messages on one connection leave the daemon's resident
-- size flat: VmRSS after 10000 messages within 10% of VmRSS after 1000
-- (under a sanitizer, only that every message gets its answer).
dofile(LIB)
local function rss()
  local status = read_file("/proc/" .. PID .. "/status")
  return tonumber(status:match("VmRSS:%s*(%d+)"))
end
local conn = connect()
local after1000
for i = 1, 10000 do
  local kind = i % 4
  if kind == 0 then
    expect(conn, "<>", FORGED, SMFIR_REPLYCODE, "eom", "M" .. i)
  elseif kind == 1 then
    expect(conn, "<>", OWN, SMFIR_ACCEPT, "eom", "M" .. i)
  elseif kind == 2 then
    expect(conn, "<carol@example.org>", FORWARDED, SMFIR_ACCEPT, "eoh", "M" .. i)
  else
    send_and_abort(conn, FORGED, "M" .. i)
  end
  if i == 1000 then
    after1000 = rss()
  end
end
local after10000 = rss()
mt.echo(string.format("VmRSS after 1000 messages: %d kB, after 10000: %d kB", after1000, after10000))
-- AddressSanitizer holds freed memory back in its quarantine: no measure there.
if not SANITIZED then
  check(after10000 <= after1000 * 1.10, "resident size grew by more than 10%")
end
mt.disconnect(conn)
