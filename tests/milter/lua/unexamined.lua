-- Show that a bounce of 512000 bytes or more is accepted during its body,
-- unexamined, and that an aborted message leaves the connection fit for the
-- next: both followed by a forged bounce that is still caught.
dofile(LIB)
local conn = connect()
local big = { headers = FORGED.headers, body = FORGED.body .. string.rep(string.rep("x", 76) .. "\r\n", 7000) }
expect(conn, "<>", big, SMFIR_ACCEPT, "body", "BIG1")
expect(conn, "<>", FORGED, SMFIR_REPLYCODE, "eom", "FORGED1")

send_and_abort(conn, FORGED, "ABORTED1")
-- The aborted half-message must not leak into the next one.
expect(conn, "<>", OWN, SMFIR_ACCEPT, "eom", "OWN1")
expect(conn, "<>", FORGED, SMFIR_REPLYCODE, "eom", "FORGED2")
mt.disconnect(conn)
