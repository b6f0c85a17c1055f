"""The listening loop the test origins share: python3 ORIGIN.py ADDRESS PORT."""
import socket
import sys
import threading


def serve_forever(serve):
    """Listens on argv's address and port, says "ready", and serves each
    connection on a thread of its own with serve(connection)."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((sys.argv[1], int(sys.argv[2])))
    listener.listen(64)
    print("ready", flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()
