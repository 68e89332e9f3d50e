-- The host's terrain loop of one frame: take batches until the module stops handing out, answering
-- every point from the world. `call` invokes a module function by name (the host's fault-tolerant
-- wrapper, or a plain call). Returns the number of points answered.
local M = {}

function M.run(call, world)
  local answered = 0
  local n = call("terrain_take")
  while type(n) == "number" and n > 0 do
    for i = 1, n do
      local x, y, kind = call("terrain_point", i)
      if x then
        local a, b = world.answer(x, y, kind)
        call("terrain_answer", i, a, b)
        answered = answered + 1
      end
    end
    n = call("terrain_take")
  end
  return answered
end

return M
