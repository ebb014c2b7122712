"""Identifier generator."""
import uuid


def uuidGenerator():
    """A new random identifier: 32 lower-case hex digits."""
    return uuid.uuid4().hex
