" Vim syntax file for qel intent contracts (*.qel).
if exists("b:current_syntax")
  finish
endif

syn keyword qelSection Contract Identity PurposeStatement DataSemantics
syn keyword qelSection BehavioralSemantics ExecutionConstraints
syn keyword qelSection HumanMachineContract Extensions
syn keyword qelPrimitive Integer Float String Boolean ISO8601 UUID
syn keyword qelComposite Array Map Object Enum
syn keyword qelBoolean true false

" A later match wins at the same column: a timestamp over its leading digits.
syn match qelNumber "\<\d\+\%(\.\d\+\)\=\>"
syn match qelTimestamp "\<\d\{4}-\d\{2}-\d\{2}T[0-9:.]\+\%(Z\|[+-]\d\{2}:\d\{2}\)"
syn match qelKey "\<[A-Za-z_][A-Za-z0-9_-]*\ze\s*:"
syn match qelOperator "="

syn region qelString start=+"+ skip=+\\\\\|\\"+ end=+"+ contains=qelEscape,qelBadEscape
syn match qelBadEscape +\\.+ contained
syn match qelEscape +\\[nt"\\]+ contained

syn match qelComment "//.*$" contains=qelSuppression,@Spell
syn match qelSuppression "\<qel:\s*allow\>.*" contained

hi def link qelSection Structure
hi def link qelPrimitive Type
hi def link qelComposite Type
hi def link qelBoolean Boolean
hi def link qelNumber Number
hi def link qelTimestamp Constant
hi def link qelKey Identifier
hi def link qelOperator Operator
hi def link qelString String
hi def link qelEscape SpecialChar
hi def link qelBadEscape Error
hi def link qelComment Comment
hi def link qelSuppression PreProc

let b:current_syntax = "qel"
