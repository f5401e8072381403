-- Show that --action=tag removes every X-Bouncewarden header a message
-- arrives with (any case, up to 20), from a genuine bounce and from ordinary
-- mail alike, adds its own only to backscatter, and refuses a message that
-- carries more.
dofile(LIB)
local conn = connect()
check(mt.test_action(conn, SMFIF_ADDHDRS) and mt.test_action(conn, SMFIF_CHGHDRS),
      "adding and changing headers asked for at negotiation")
local function with_tags(message)
  local copy = { headers = {}, body = message.body }
  copy.headers[1] = { name = "X-Bouncewarden", value = " backscatter" }
  for _, header in ipairs(message.headers) do copy.headers[#copy.headers + 1] = header end
  copy.headers[#copy.headers + 1] = { name = "x-bouncewarden", value = " backscatter" }
  return copy
end
expect(conn, "<>", with_tags(OWN), SMFIR_ACCEPT, "eom", "OWN1")
check(mt.eom_check(conn, MT_HDRDELETE, "X-Bouncewarden"), "removed from a genuine bounce")
check(not mt.eom_check(conn, MT_HDRADD), "and nothing added")
-- Ordinary mail goes on to end of message only for the removal.
expect(conn, "<carol@example.org>", with_tags(FORWARDED), SMFIR_ACCEPT, "eom", "FWD1")
check(mt.eom_check(conn, MT_HDRDELETE, "X-Bouncewarden"), "removed from ordinary mail")
expect(conn, "<>", with_tags(FORGED), SMFIR_ACCEPT, "eom", "FORGED1")
check(mt.eom_check(conn, MT_HDRDELETE, "X-Bouncewarden"), "removed from backscatter")
check(mt.eom_check(conn, MT_HDRADD, "X-Bouncewarden", " backscatter"), "and ours added")
-- Ordinary mail without the header is still accepted at end of headers.
expect(conn, "<carol@example.org>", FORWARDED, SMFIR_ACCEPT, "eoh", "FWD2")
-- A flood of the header is refused, not removed copy by copy.
local flood = { headers = {}, body = FORWARDED.body }
for i = 1, 21 do flood.headers[i] = { name = "X-Bouncewarden", value = " backscatter" } end
for _, header in ipairs(FORWARDED.headers) do flood.headers[#flood.headers + 1] = header end
expect(conn, "<carol@example.org>", flood, SMFIR_REPLYCODE, "eoh", "FLOOD1")
mt.disconnect(conn)

