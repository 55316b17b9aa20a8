---@meta
-- c.regex: POSIX extended regular expressions (docs/script-api.md#cregex).
local regex = {}

---The part of subject covered by the pattern's first group in the leftmost-longest match; no value without a match.
---@param subject string
---@param pattern string
---@return string?
function regex.match(subject, pattern) end

return regex
