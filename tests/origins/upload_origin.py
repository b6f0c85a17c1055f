#!/usr/bin/python3
"""An HTTP/1.1 origin for upload tests: python3 upload_origin.py ADDRESS PORT

POST /sha256  reads the body (Content-Length or chunked) and answers its
              sha256 in hex.
POST /echo    sends every body byte back as soon as it arrives (full duplex);
              needs Content-Length.
Keeps each connection open after its answer unless the request says
"Connection: close", as keep-alive servers do. Prints "ready" once listening.
"""
import hashlib
import sys

sys.dont_write_bytecode = True  # the shared module leaves no cache in the tree
from listener import serve_forever  # noqa: E402


def read_head(stream):
    lines = []
    while True:
        line = stream.readline(65536)
        if not line:
            return None
        if line in (b"\r\n", b"\n"):
            return lines
        lines.append(line.decode("latin-1").rstrip("\r\n"))


def fields_of(lines):
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return fields


def chunked_body(stream):
    while True:
        size = int(stream.readline().split(b";")[0], 16)
        if size == 0:
            while stream.readline() not in (b"\r\n", b"\n", b""):
                pass
            return
        yield stream.read(size)
        stream.readline()


def answer(connection, body):
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def serve(connection):
    stream = connection.makefile("rb")
    while True:
        lines = read_head(stream)
        if not lines:
            break
        path = lines[0].split(" ")[1]
        fields = fields_of(lines)
        length = int(fields.get("content-length", "0"))
        if path.endswith("/echo"):
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % length)
            while length > 0:
                piece = stream.read1(min(length, 65536))
                if not piece:
                    break
                connection.sendall(piece)
                length -= len(piece)
        else:
            digest = hashlib.sha256()
            if "chunked" in fields.get("transfer-encoding", ""):
                for piece in chunked_body(stream):
                    digest.update(piece)
            else:
                while length > 0:
                    piece = stream.read(min(length, 1 << 20))
                    if not piece:
                        break
                    digest.update(piece)
                    length -= len(piece)
            answer(connection, digest.hexdigest().encode())
        if fields.get("connection", "").lower() == "close":
            break
    connection.close()


serve_forever(serve)
