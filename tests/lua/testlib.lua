-- A small harness for the Lua-level tests: named cases, equality checks, one closing line.
local M = {}
local passed, failed = 0, 0

function M.case(name, fn)
  local ok, err = pcall(fn)
  if ok then
    passed = passed + 1
  else
    failed = failed + 1
    io.stderr:write("FAIL ", name, ": ", tostring(err), "\n")
  end
end

function M.eq(actual, expected, what)
  if actual ~= expected then
    error(string.format("%s: expected %q, got %q", what or "value", tostring(expected), tostring(actual)), 2)
  end
end

function M.truthy(value, what)
  if not value then error((what or "condition") .. " does not hold", 2) end
end

function M.pack(...) return { n = select("#", ...), ... } end

function M.finish()
  print(string.format("%d passed, %d failed", passed, failed))
  os.exit(failed == 0 and 0 or 1)
end

return M
