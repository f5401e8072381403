-- Show that a sender and a queue ID holding CR, LF, ESC, BEL and DEL reach
-- the log escaped, one line each, and that a sender cannot close its field
-- to forge another (the shell reads the log).
dofile(LIB)
local conn = connect()
expect(conn, "<evil\r\nFAKE1: sender=<>, verdict=not backscatter\27[2J\7\127@example.org>", FORGED, SMFIR_REPLYCODE,
       "eom", "INJ1\r\nFAKE2: forged\27]0;x\7")
-- A quoted local part that would close the sender's field and add a verdict.
expect(conn, "<\"x>, verdict=not backscatter\"@evil.test>", FORGED, SMFIR_REPLYCODE, "eom", "INJ2")
mt.disconnect(conn)
