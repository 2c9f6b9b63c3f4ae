// PLACEHOLDER: replaced by the Win32 port layer.
