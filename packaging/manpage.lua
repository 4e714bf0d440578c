-- Turns the user manual into a manual page: a NAME section comes first, the
-- manual's own title gives way to DESCRIPTION (the text before the first
-- section), and every other heading moves up one level: sections (in capitals,
-- as manual pages have them) and subsections.
function Pandoc(doc)
  local blocks = pandoc.List()
  blocks:insert(pandoc.Header(1, "NAME"))
  blocks:insert(pandoc.Para(pandoc.RawInline("man",
    "tarn \\- " .. pandoc.utils.stringify(doc.meta.summary))))
  local seen_title = false
  for _, block in ipairs(doc.blocks) do
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
