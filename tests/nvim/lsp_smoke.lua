-- Neovim's own LSP client against `qel lsp`: open a contract, print the
-- diagnostics Neovim received, format if the server offers it, apply the
-- "Normalize" code action, save. Run headless:
--   QEL=path/to/qel nvim --headless -u NONE -c 'luafile tests/nvim/lsp_smoke.lua' FILE
-- Prints "DIAG line col code severity message" (0-based line, byte column),
-- "FORMAT ..." (the formatted text goes to FILE.formatted), "ACTION ..." and
-- "DONE"; exits 1 on a failure it can see.
local function say(line)
  io.stdout:write(line .. "\n")
end

local function fail(why)
  say("FAIL " .. why)
  vim.cmd("cquit 1")
end

local qel = os.getenv("QEL")
if not qel then return fail("QEL is not set") end
local buf = vim.api.nvim_get_current_buf()
local file = vim.api.nvim_buf_get_name(buf)

local config = {
  name = "qel",
  cmd = { qel, "lsp" },
  root_dir = vim.fn.fnamemodify(file, ":h"),
}
local client_id
if vim.lsp.start then  -- Neovim 0.8 and later
  client_id = vim.lsp.start(config)
else
  client_id = vim.lsp.start_client(config)
  vim.lsp.buf_attach_client(buf, client_id)
end
if not client_id then return fail("the server did not start") end

if not vim.wait(10000, function() return #vim.diagnostic.get(buf) > 0 end, 20) then
  return fail("no diagnostics within 10 s")
end
local diagnostics = vim.diagnostic.get(buf)
table.sort(diagnostics, function(a, b)
  if a.lnum ~= b.lnum then return a.lnum < b.lnum end
  return a.col < b.col
end)
for _, d in ipairs(diagnostics) do
  say(string.format("DIAG %d %d %s %d %s", d.lnum, d.col,
    tostring(d.code or (d.user_data and d.user_data.lsp and d.user_data.lsp.code)),
    d.severity, d.message))
end

local client = vim.lsp.get_client_by_id(client_id)
local encoding = client.offset_encoding or "utf-16"
local document = { uri = vim.uri_from_bufnr(buf) }

-- Formatting, when the server offers it (Neovim sends no request a server
-- has not advertised); a server that hangs or dies here fails the run.
local capabilities = client.server_capabilities or client.resolved_capabilities
local answers, answer
if capabilities.documentFormattingProvider or capabilities.document_formatting then
  answers = vim.lsp.buf_request_sync(buf, "textDocument/formatting",
    { textDocument = document, options = { tabSize = 2, insertSpaces = true } }, 10000)
  answer = answers and answers[client_id]
  if not answer or answer.err then return fail("no formatting") end
  vim.lsp.util.apply_text_edits(answer.result or {}, buf, encoding)
  vim.fn.writefile(vim.api.nvim_buf_get_lines(buf, 0, -1, false), file .. ".formatted")
  say("FORMAT applied " .. #(answer.result or {}))
else
  say("FORMAT not offered")
end

answers = vim.lsp.buf_request_sync(buf, "textDocument/codeAction", {
  textDocument = document,
  range = { start = { line = 0, character = 0 }, ["end"] = { line = 0, character = 0 } },
  context = { diagnostics = {}, only = { "source.normalize" } },
}, 10000)
answer = answers and answers[client_id]
if not answer or answer.err or not answer.result or #answer.result ~= 1 then
  return fail("no normalize action")
end
say("ACTION " .. answer.result[1].title)
vim.lsp.util.apply_workspace_edit(answer.result[1].edit, encoding)
vim.cmd("silent write")
say("DONE")
vim.cmd("qall!")
