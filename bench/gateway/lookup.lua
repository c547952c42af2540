-- Redirects for codes spread over the whole pre-filled database, so no cache can hold them.
local links = 1000000

function init(args)
  links = tonumber(args[1]) or links
  math.randomseed(os.time() + math.floor(os.clock() * 1000000))
end

function request()
  return wrk.format("GET", string.format("/%07d", math.random(1, links)))
end
