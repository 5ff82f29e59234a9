"""The two ways a command ends early, each with its exit status.

The message is the whole report: one line, printed by cli.main.
"""


class Failure(Exception):
    """A motor did not answer, a value did not verify, the bus failed: exit 1."""

    status = 1


class UsageError(Exception):
    """The command line asks for something that cannot be done: exit 2."""

    status = 2
