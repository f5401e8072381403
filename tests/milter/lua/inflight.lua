-- One costly bounce (tens of thousands of MIME parts, a check of about a
-- second), sent in full, then its answer awaited: the shell stops the daemon
-- meanwhile, and every such peer must still get an answer. Prints it.
-- Touches STARTED (when given) once MAIL FROM was answered, READY once all
-- is sent.
dofile(LIB)
mt.set_timeout(120)
local conn = connect()
local parts = {"--R\r\nContent-Type: text/rfc822-headers\r\n\r\nMessage-ID: <x@returned.example>\r\n\r\n"}
parts[2] = string.rep("--R\r\n\r\nx\r\n", 50000)
parts[3] = "--R--\r\n"
local costly = {
  headers = {
    { name = "From", value = " MAILER-DAEMON@mx.example.org" },
    { name = "To", value = " alice@example.com" },
    { name = "Content-Type", value = " multipart/report; report-type=delivery-status; boundary=\"R\"" },
  },
  body = table.concat(parts),
}
mt.macro(conn, SMFIC_MAIL, "i", QUEUE_ID)
check(mt.mailfrom(conn, "<>") == nil and mt.getreply(conn) == SMFIR_CONTINUE, "MAIL FROM")
if STARTED then io.open(STARTED, "w"):close() end  -- the transaction is under way
for _, header in ipairs(costly.headers) do check(mt.header(conn, header.name, header.value) == nil, "header") end
check(mt.eoh(conn) == nil and mt.getreply(conn) == SMFIR_CONTINUE, "end of headers")
for first = 1, #costly.body, 65535 do
  check(mt.bodystring(conn, costly.body:sub(first, first + 65534)) == nil and mt.getreply(conn) == SMFIR_CONTINUE,
        "body chunk")
end
io.open(READY, "w"):close()
local result = mt.eom(conn)
check(result == nil, "end of message: " .. tostring(result))
local reply = mt.getreply(conn)
local names = { [SMFIR_REPLYCODE] = "reject", [SMFIR_ACCEPT] = "accept", [SMFIR_TEMPFAIL] = "tempfail" }
check(names[reply] ~= nil, "an answer to the end of message, got " .. tostring(reply))
mt.echo("answer: " .. names[reply])
mt.disconnect(conn)
