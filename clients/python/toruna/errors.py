"""The exceptions of the toruna package.

Every one derives from TorunaError. Those about the connection also derive from
the built-in ConnectionError family, so code that already handles
ConnectionRefusedError or ConnectionError keeps working.
"""

from __future__ import annotations


class TorunaError(Exception):
    """Base of every error this package raises."""


class RefusedError(TorunaError, ConnectionRefusedError):
    """The host answered, but nothing listens on the server's port."""


class UnreachableError(TorunaError, ConnectionError):
    """The host could not be reached: not found, no route, or no answer in time."""


class ClosedError(TorunaError, ConnectionError):
    """The connection is closed; the operation cannot be carried out."""


class ServerClosedError(ClosedError):
    """The server ended the connection (it closed or reset it)."""


class ProtocolError(ClosedError):
    """The server sent bytes that are not a frame; the connection was closed."""


class EventRemovedError(TorunaError):
    """The event was removed; it can no longer be published."""


class EncodingError(TorunaError, ValueError):
    """A name or unit holds a character that Windows-1252 cannot carry.

    Raised before anything is sent.
    """
