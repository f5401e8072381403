-- Show that a forged bounce is rejected with the configured reply, that a
-- genuine bounce is accepted at end of message and an ordinary message at
-- end of headers, all on one connection.
dofile(LIB)
local conn = connect()
check(mt.test_option(conn, SMFIP_HDR_LEADSPC), "header values kept as received")
check(mt.test_option(conn, SMFIP_NOHELO) and mt.test_option(conn, SMFIP_NORCPT), "unused steps skipped")
expect(conn, "<>", FORGED, SMFIR_REPLYCODE, "eom", "FORGED1")
check(mt.eom_check(conn, MT_SMTPREPLY, REPLY:match("^(.-)|(.-)|(.*)$")), "the configured 5xx reply")
expect(conn, "<>", OWN, SMFIR_ACCEPT, "eom", "OWN1")
-- A bounce by its sender alone, and logged with that sender.
expect(conn, "<MAILER-DAEMON@mx.example.org>", OWN, SMFIR_ACCEPT, "eom", "OWN2")
expect(conn, "<carol@example.org>", FORWARDED, SMFIR_ACCEPT, "eoh", "FWD1")
mt.disconnect(conn)
