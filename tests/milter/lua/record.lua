-- Sends COUNT ordinary messages from a client at IP ("unspec": the MTA gives
-- no address) with the Message-IDs <PREFIX.N@example.com>; each must be
-- accepted at end of headers, whatever the ledger does with it.
dofile(LIB)
local conn = connect()
check(mt.conninfo(conn, "client.example.org", IP) == nil, "connect step")
for n = 1, tonumber(COUNT) do
  local message = {
    headers = {
      { name = "From", value = " alice@example.com" },
      { name = "Message-ID", value = " <" .. PREFIX .. "." .. n .. "@example.com>" },
    },
    body = "hello\r\n",
  }
  expect(conn, "<alice@example.com>", message, SMFIR_ACCEPT, "eoh", "REC" .. n)
end
mt.disconnect(conn)
