-- Messages one after another, paced as a slow MTA sends them (10 ms
-- between steps, the body in chunks of 6 bytes, so that a message takes
-- some 3 s, more than the second after which libmilter would drop its
-- sessions once stopped), until the daemon refuses a MAIL FROM: the shell
-- stops it meanwhile, and every message begun before the stop must get its
-- answer.
-- Prints one line per message: its answer, or how its MAIL FROM was met.
dofile(LIB)
mt.set_timeout(60)
local conn = connect()
local names = { [SMFIR_REPLYCODE] = "reject", [SMFIR_ACCEPT] = "accept", [SMFIR_TEMPFAIL] = "tempfail" }
for count = 1, 1000 do
  mt.macro(conn, SMFIC_MAIL, "i", QUEUE_ID .. "." .. count)
  if mt.mailfrom(conn, "<>") ~= nil then
    mt.echo("mail from: connection closed")  -- the stop ended before this one began: never begun
    break
  end
  local reply = mt.getreply(conn)
  if reply ~= SMFIR_CONTINUE then
    mt.echo("mail from: " .. (names[reply] or tostring(reply)))
    break
  end
  for _, header in ipairs(FORGED.headers) do
    mt.sleep(0.01)
    check(mt.header(conn, header.name, header.value) == nil, "header of message " .. count)
  end
  mt.sleep(0.01)
  check(mt.eoh(conn) == nil and mt.getreply(conn) == SMFIR_CONTINUE, "end of headers of message " .. count)
  for first = 1, #FORGED.body, 6 do
    mt.sleep(0.01)
    check(mt.bodystring(conn, FORGED.body:sub(first, first + 5)) == nil and mt.getreply(conn) == SMFIR_CONTINUE,
          "body of message " .. count)
  end
  mt.sleep(0.01)
  check(mt.eom(conn) == nil, "end of message " .. count)
  reply = mt.getreply(conn)
  check(names[reply] ~= nil, "an answer to message " .. count .. ", got " .. tostring(reply))
  mt.echo("answer: " .. names[reply])
  mt.sleep(0.01)
end
mt.disconnect(conn)
