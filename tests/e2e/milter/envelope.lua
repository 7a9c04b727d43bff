-- Envelope arguments with line breaks, which only a milter client hands over.
return {
  {label = "refused recipient with a line break", stage = "eoh", rcpts = {"<alice@good.test>", "<x@y>\nFAKE LOG LINE: forged"}},
}
