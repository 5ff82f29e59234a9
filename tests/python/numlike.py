"""Number-like stand-ins shared by the argument-conversion tests."""


class Index:
    """__index__ gives back `v`, or raises it when it is an exception."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v

    def __repr__(self):
        return f"Index({self.v!r})"
