"""A client of the Toruna event-relay server, on asyncio.

    servers = await toruna.discover()
    async with toruna.connect(servers[0].address, name="Kitchen") as client:
        temp = await client.create_event("Temp", unit="°C")
        await temp.wait_for_subscriber()
        await temp.publish(21)

    async with toruna.connect("lab-pi", name="Dashboard") as client:
        async for v in client.subscribe("*/Temp"):
            print(v.time, v.client, v.event, v.value, v.unit)
"""

from .client import Changes, Client, Connecting, ConnectionChanges, connect
from .connection import ConnectionChange
from .discovery import Server, discover
from .errors import (ClosedError, EncodingError, EventRemovedError, ProtocolError,
                     RefusedError, ServerClosedError, TorunaError, UnreachableError)
from .event import Event
from .feed import Feed
from .roster import Change, RemoteClient, RemoteEvent, Value
from .subscription import Subscription

__version__ = "0.1.0"

__all__ = [
    "discover", "Server", "connect", "Connecting", "Client", "Event", "RemoteClient",
    "RemoteEvent", "Value", "Change", "Feed", "Subscription", "Changes", "ConnectionChange",
    "ConnectionChanges", "TorunaError",
    "RefusedError", "UnreachableError", "ClosedError", "ServerClosedError", "ProtocolError",
    "EventRemovedError", "EncodingError",
]
