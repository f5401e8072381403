-- Show that a check that fails (the pattern exceeds PCRE's recursion limit
-- on a long Message-ID) is handled by --on-error: EXPECT is "accept" or
-- "tempfail". A forged bounce with a short ID still gets its verdict.
dofile(LIB)
local conn = connect()
expect(conn, "<>", LONG_ID, EXPECT == "tempfail" and SMFIR_TEMPFAIL or SMFIR_ACCEPT, "eom", "LONG1")
expect(conn, "<>", FORGED, SMFIR_REPLYCODE, "eom", "FORGED1")
if REPLY then
  check(mt.eom_check(conn, MT_SMTPREPLY, REPLY:match("^(.-)|(.-)|(.*)$")), "the configured 5xx reply")
end
mt.disconnect(conn)
