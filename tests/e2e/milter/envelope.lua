-- Envelope arguments with control bytes, which only a milter client hands over.
return {
  {label = "refused recipient with a line break", stage = "eoh", rcpts = {"<alice@good.test>", "<x@y>\nFAKE LOG LINE: forged"}},
  {label = "tab inside the sender", stage = "eoh", from = "<al\tice@good.test>"},
}
