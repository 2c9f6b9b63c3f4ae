// PLACEHOLDER: replaced by the scripted fake port layer.
