-- Turns the user manual into a manual page: a NAME section comes first, then
-- the manual's Synopsis section, then DESCRIPTION (the text before the first
-- section, in the manual's own title's place); every other heading moves up
-- one level: sections (in capitals, as manual pages have them) and
-- subsections.
local function is_section(block, name)
  return block.t == "Header" and block.level == 2 and (name == nil or pandoc.utils.stringify(block) == name)
end

function Pandoc(doc)
  local blocks = pandoc.List()
  blocks:insert(pandoc.Header(1, "NAME"))
  blocks:insert(pandoc.Para(pandoc.RawInline("man",
    "tarn \\- " .. pandoc.utils.stringify(doc.meta.summary))))
  -- The Synopsis section, taken out of its place.
  local synopsis, rest, inside = pandoc.List(), pandoc.List(), false
  for _, block in ipairs(doc.blocks) do
    if is_section(block) then inside = is_section(block, "Synopsis") end
    if inside then synopsis:insert(block) else rest:insert(block) end
  end
  for _, block in ipairs(synopsis) do
    if block.t == "Header" then block = pandoc.Header(1, "SYNOPSIS") end
    blocks:insert(block)
  end
  local seen_title = false
  for _, block in ipairs(rest) do
    if block.t == "Header" and block.level == 1 and not seen_title then
      seen_title = true
      blocks:insert(pandoc.Header(1, "DESCRIPTION"))
    elseif block.t == "Header" and block.level == 2 then
      blocks:insert(pandoc.Header(1, pandoc.text.upper(pandoc.utils.stringify(block))))
    elseif block.t == "Header" then
      block.level = block.level - 1
      blocks:insert(block)
    else
      blocks:insert(block)
    end
  end
  return pandoc.Pandoc(blocks, doc.meta)
end

-- Column widths (in characters): a table whose texts fit on the line keeps
-- them whole; otherwise the short columns stay whole and the long ones share
-- what is left equally, so no column is squeezed below its longest word.
-- Text 71 characters wide (an 80-column terminal), 3 between columns; the
-- manual page writer takes widths as fractions of 70 characters.
local function text_length(blocks)
  local text = pandoc.utils.stringify(blocks or {})
  local word = 0
  for w in text:gmatch("%S+") do word = math.max(word, utf8.len(w) or #w) end
  return utf8.len(text) or #text, word
end

function Table(tbl)
  local simple = pandoc.utils.to_simple_table(tbl)
  local columns = #tbl.colspecs
  local longest, word, order = {}, {}, {}
  for i = 1, columns do
    longest[i], word[i] = text_length(simple.headers[i])
    for _, row in ipairs(simple.rows) do
      local text, w = text_length(row[i])
      longest[i], word[i] = math.max(longest[i], text), math.max(word[i], w)
    end
    order[i] = i
  end
  table.sort(order, function(a, b) return longest[a] < longest[b] end)
  local left = 71 - 3 * (columns - 1)
  for n, i in ipairs(order) do
    -- Whole characters, rounded down: fractions are rounded up on the
    -- terminal, and three of them can add up to more than the line.
    local width = math.floor(math.max(word[i], math.min(longest[i], left / (columns - n + 1))))
    left = left - width
    tbl.colspecs[i] = {tbl.colspecs[i][1], width / 70}
  end
  return tbl
end
