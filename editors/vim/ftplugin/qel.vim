" Comments in qel run from // to the end of the line.
if exists("b:did_ftplugin")
  finish
endif
let b:did_ftplugin = 1
setlocal commentstring=//\ %s comments=://
let b:undo_ftplugin = "setlocal commentstring< comments<"
