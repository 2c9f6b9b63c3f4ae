// PLACEHOLDER: replaced by the POSIX port layer.
