-- Shared by the protocol scripts: loaded with dofile. miltertest defines SOCK
-- (the daemon's socket) and DATA (tests/data) with -D.

function check(ok, what)
  if not ok then
    -- miltertest ends a failed script without printing the error.
    io.stderr:write("FAIL: " .. what .. "\n")
    error("FAIL: " .. what, 2)
  end
end

function read_file(path)
  local file = assert(io.open(path, "rb"))
  local text = file:read("a")
  file:close()
  return text
end

-- A fixture as an MTA hands it over: each header's name and raw value (the
-- space after the colon kept, folds as LF), and the body with CR LF line ends.
function load_message(name)
  local text = read_file(DATA .. "/integration/" .. name)
  local head, body = text:match("^(.-\n)\n(.*)$")
  local headers = {}
  for line in head:gmatch("([^\n]*)\n") do
    if line:match("^[ \t]") then
      headers[#headers].value = headers[#headers].value .. "\n" .. line
    else
      local field, value = line:match("^([^:]*):(.*)$")
      headers[#headers + 1] = { name = field, value = value }
    end
  end
  return { headers = headers, body = body:gsub("\r?\n", "\r\n") }
end

function connect()
  local conn = mt.connect("unix:" .. SOCK, 50, 0.1)
  check(conn ~= nil, "connect to " .. SOCK)
  return conn
end

local function step(conn, what, result)
  check(result == nil, what .. ": " .. tostring(result))
  return mt.getreply(conn)
end

-- Sends one message. Returns the first reply other than "continue" and the
-- step that gave it ("eoh", "body" or "eom"); a "skip" during the body goes
-- on to the end of message, as the MTA does.
function send(conn, sender, message, queue_id)
  mt.macro(conn, SMFIC_MAIL, "i", queue_id or "Q0")
  check(step(conn, "mailfrom", mt.mailfrom(conn, sender)) == SMFIR_CONTINUE, "reply to MAIL FROM")
  for _, header in ipairs(message.headers) do
    check(step(conn, "header", mt.header(conn, header.name, header.value)) == SMFIR_CONTINUE,
          "reply to header " .. header.name)
  end
  local reply = step(conn, "eoh", mt.eoh(conn))
  if reply ~= SMFIR_CONTINUE then
    return reply, "eoh"
  end
  -- The MTA's chunks are at most 65535 bytes.
  for first = 1, #message.body, 65535 do
    reply = step(conn, "body", mt.bodystring(conn, message.body:sub(first, first + 65534)))
    if reply == (SMFIR_SKIP or string.byte("s")) then
      break
    end
    if reply ~= SMFIR_CONTINUE then
      return reply, "body"
    end
  end
  return step(conn, "eom", mt.eom(conn)), "eom"
end

-- Sends the headers and the first bytes of the body, then aborts.
function send_and_abort(conn, message, queue_id)
  mt.macro(conn, SMFIC_MAIL, "i", queue_id)
  check(mt.mailfrom(conn, "<>") == nil, "mailfrom")
  for _, header in ipairs(message.headers) do
    check(mt.header(conn, header.name, header.value) == nil, "header")
  end
  check(mt.eoh(conn) == nil, "eoh")
  check(mt.bodystring(conn, message.body:sub(1, 300)) == nil, "first body chunk")
  check(mt.abort(conn) == nil, "abort")
end

function expect(conn, sender, message, wanted_reply, wanted_step, queue_id)
  local reply, at = send(conn, sender, message, queue_id)
  check(reply == wanted_reply and at == wanted_step,
        string.format("reply %s at %s, wanted %s at %s", tostring(reply), at, tostring(wanted_reply), wanted_step))
end

FORGED = load_message("bounce-of-forged-message.eml")
OWN = load_message("bounce-of-own-message.eml")
FORWARDED = load_message("forwarded-message.eml")

-- The forged bounce with a returned Message-ID of 3000 characters, on which
-- the pattern (a|b)*@x$ exceeds PCRE's recursion limit.
LONG_ID = load_message("bounce-of-forged-message.eml")
LONG_ID.body = LONG_ID.body:gsub("<7c41e0d2%.90fa@forged%-sender%.example%.net>", "<" .. string.rep("ab", 1500) .. ">")
