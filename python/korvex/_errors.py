"""The command line's error for bad input: a one-line message and exit status 2."""


class InputError(ValueError):
    """Bad input for the command line: a one-line message, exit status 2."""
