#!/usr/bin/env python3
"""HTTPS on a free loopback port with a self-signed certificate, TLS 1.2 at
least (as cameras that refuse older versions): every GET gets "fwversion=tls";
a connection that does not start a TLS handshake is closed at once (so that
the client's error does not depend on whether an alert arrives first), or with
"alert" its request head is read and answered with a TLS alert record first,
as TLS stacks answer a plain request. GET /chunked gets a chunked body whose
second chunk never comes (the connection stays until the client closes it,
30 s at most). Prints the port, serves until killed.
tls_server.py CERT KEY [alert]"""
import http.server
import socket
import ssl
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/chunked":
            self.protocol_version = "HTTP/1.1"
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"a\r\nfwversion=\r\n")
            self.wfile.flush()
            self.connection.settimeout(30)
            try:
                self.connection.recv(1)
            except OSError:
                pass
            self.close_connection = True
            return
        body = b"fwversion=tls\r\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    def get_request(self):
        sock, address = self.socket.accept()
        if sock.recv(1, socket.MSG_PEEK) != b"\x16":
            if ALERT:
                sock.settimeout(5)
                head = b""
                while b"\r\n\r\n" not in head:
                    more = sock.recv(4096)
                    if not more:
                        break
                    head += more
                # Level fatal, unexpected message.
                sock.sendall(b"\x15\x03\x03\x00\x02\x02\x0a")
            sock.close()
            raise OSError("not TLS")
        return context.wrap_socket(sock, server_side=True), address


ALERT = sys.argv[3:] == ["alert"]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.minimum_version = ssl.TLSVersion.TLSv1_2
context.load_cert_chain(sys.argv[1], sys.argv[2])
server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
