-- Show that --action=ACTION does what it says to a forged bounce and leaves a
-- genuine one alone.
dofile(LIB)
local conn = connect()
if ACTION == "discard" then
  expect(conn, "<>", FORGED, SMFIR_DISCARD, "eom", "FORGED1")
elseif ACTION == "quarantine" then
  check(mt.test_action(conn, SMFIF_QUARANTINE), "quarantine asked for at negotiation")
  expect(conn, "<>", FORGED, SMFIR_ACCEPT, "eom", "FORGED1")
  check(mt.eom_check(conn, MT_QUARANTINE, "bouncewarden: backscatter"), "quarantined with the reason")
elseif ACTION == "tag" then
  check(mt.test_action(conn, SMFIF_ADDHDRS), "header addition asked for at negotiation")
  expect(conn, "<>", FORGED, SMFIR_ACCEPT, "eom", "FORGED1")
  -- Header values keep their leading space (negotiated above), added ones too.
  check(mt.eom_check(conn, MT_HDRADD, "X-Bouncewarden", " backscatter"), "X-Bouncewarden: backscatter added")
elseif ACTION == "log" then
  expect(conn, "<>", FORGED, SMFIR_ACCEPT, "eom", "FORGED1")
  -- The accept above means no reply code was set either.
  check(not mt.eom_check(conn, MT_HDRADD) and not mt.eom_check(conn, MT_QUARANTINE), "nothing but the log line")
else
  error("unknown ACTION " .. tostring(ACTION))
end
check(not mt.test_action(conn, SMFIF_CHGBODY), "no body changes asked for")
expect(conn, "<>", OWN, SMFIR_ACCEPT, "eom", "OWN1")
check(not mt.eom_check(conn, MT_HDRADD) and not mt.eom_check(conn, MT_QUARANTINE), "genuine bounce untouched")
mt.disconnect(conn)
