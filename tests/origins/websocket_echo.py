#!/usr/bin/python3
"""A WebSocket origin: python3 websocket_echo.py ADDRESS PORT

Answers an Upgrade: websocket head with 101 and its Sec-WebSocket-Accept,
then sends back every byte that follows, as it arrives, until the end of
stream. Prints "ready" once listening.
"""
import base64
import hashlib
import sys

sys.dont_write_bytecode = True  # the shared module leaves no cache in the tree
from listener import serve_forever  # noqa: E402

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def serve(connection):
    head = b""
    while b"\r\n\r\n" not in head and (piece := connection.recv(1)):
        head += piece
    key = [line.split(b":", 1)[1].strip() for line in head.split(b"\r\n")
           if line.lower().startswith(b"sec-websocket-key:")]
    accept = base64.b64encode(hashlib.sha1(key[0] + GUID).digest()) if key else b""
    connection.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                       b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
    while piece := connection.recv(65536):
        connection.sendall(piece)
    connection.close()


serve_forever(serve)
