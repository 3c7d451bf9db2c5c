autocmd BufRead,BufNewFile *.qel setfiletype qel
