"""Output files that never destroy anything: every target is checked before the work starts,
then written under a temporary name beside it and renamed onto it only once complete.

A target must be a regular file or not exist yet. It may not be an input, another output, a
directory, a device, a FIFO or a socket, nor a symbolic link to any of these; a link to a
regular file is followed, so the file it names receives the result and the link stays.
"""

from __future__ import annotations

import os
import stat
import tempfile

from ._errors import InputError

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISSOCK, "a socket"))


def _kind(mode: int) -> str:
    return next((name for test, name in _KINDS if test(mode)), "not a regular file")


def checked_targets(inputs, outputs: dict) -> dict:
    """The file each output will replace, by option name ({"-o": path, ...}); InputError for
    a target that must not be written."""
    resolved = {}
    for option, path in outputs.items():
        if path is None:
            continue
        path = os.fspath(path)
        link = os.path.islink(path)
        real = os.path.realpath(path)
        via = f" (a symbolic link to {real})" if link else ""
        try:
            status = os.stat(real)
        except FileNotFoundError:
            status = None
            if link:
                raise InputError(f"{option} {path}: a symbolic link to nothing ({real})") from None
        if status is not None and not stat.S_ISREG(status.st_mode):
            raise InputError(f"{option} {path}: is {_kind(status.st_mode)}{via}, not a file to "
                             "write")
        folder = os.path.dirname(real)
        if not os.path.isdir(folder):
            raise InputError(f"{option} {path}: no such directory {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise InputError(f"{option} {path}: the directory {folder} is not writable")
        for raw in inputs:
            if status is not None and os.path.exists(raw) and os.path.samefile(real, raw):
                raise InputError(f"{option} {path}: is the input {raw}{via}; choose another "
                                 "name")
        for other, (other_path, other_real) in resolved.items():
            if real == other_real or (status is not None and os.path.exists(other_real)
                                      and os.path.samefile(real, other_real)):
                raise InputError(f"{option} {path} and {other} {other_path} name the same file")
        resolved[option] = (path, real)
    return {option: real for option, (_, real) in resolved.items()}


class replacing:
    """A temporary file beside `target`, renamed onto it when the block succeeds and removed
    when it fails in any way (an exception, Ctrl-C, SIGTERM turned into SystemExit)."""

    def __init__(self, target: str):
        self.target = target

    def __enter__(self) -> str:
        folder, name = os.path.split(self.target)
        descriptor, self.temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial",
                                                      dir=folder)
        os.close(descriptor)
        return self.temporary

    def __exit__(self, kind, *rest):
        try:
            if kind is None:
                self._commit()
        finally:
            if os.path.lexists(self.temporary):
                os.remove(self.temporary)
        return False

    def _commit(self) -> None:
        # Checked again: the target may have changed since the run began.
        try:
            status = os.stat(self.target)
        except FileNotFoundError:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        else:
            if not stat.S_ISREG(status.st_mode):
                raise InputError(f"{self.target}: is now {_kind(status.st_mode)}; the result "
                                 "was not written")
            mode = stat.S_IMODE(status.st_mode)
        os.chmod(self.temporary, mode)  # mkstemp makes it private; give the usual mode
        os.replace(self.temporary, self.target)
