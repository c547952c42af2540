-- Every request asks for a link to an address no request asked for before.
local counter = 0
local id = 0
local prefix = "run"
local next_id = 0

function setup(thread)
  next_id = next_id + 1
  thread:set("id", next_id)
end

function init(args)
  prefix = args[1] or prefix
end

function request()
  counter = counter + 1
  return wrk.format("GET", "/_app.php?type=text&url=http://bench.example/" .. prefix .. "/" .. id .. "/" .. counter)
end
