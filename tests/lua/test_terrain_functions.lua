-- The terrain exchange as a host script sees it when nobody asks anything.
local t = require("testlib")
local m = require("quillmarsh_exporter")

t.case("with nothing queued terrain_take gives 0 and there is no point to read", function()
  m.frame(1)
  t.eq(m.terrain_take(), 0, "first take")
  t.eq(m.terrain_take(), 0, "second take of the frame")
  t.eq(m.terrain_point(1), nil, "point 1")
  local r = t.pack(m.terrain_answer(1, 2, 3))
  t.eq(r.n, 0, "terrain_answer gives no results")
  local e = t.pack(m.frame_end())
  t.eq(e.n, 0, "frame_end gives no results")
end)

t.case("bad arguments never fail", function()
  for _, v in ipairs { 0, -1, 1.5, 1001, 1e300, 0 / 0, "1", true } do
    t.eq(m.terrain_point(v), nil, "point " .. tostring(v))
    t.eq(select("#", m.terrain_answer(v, v, v)), 0, "answer " .. tostring(v))
  end
end)

t.finish()
