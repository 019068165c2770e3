#!/usr/bin/env python3
"""A small HTTP proxy for the installer's proxy tests (Python standard
library only).

It forwards plain requests in absolute form (GET http://host:port/path),
tunnels CONNECT host:port (TLS stays end to end), can demand Basic
authentication (407 with Proxy-Authenticate) and serves a PAC script to
requests in origin form (GET /proxy.pac), so that one process plays both the
company's proxy and the server its browser settings point at. For automatic
discovery it also answers DNS queries for one name (wpad.<domain>) with
127.0.0.1 and serves the script at /wpad.dat, where discovery looks for it.

Usage:
  proxy_server.py [--port N] [--port-file FILE] [--control-dir DIR]
                  [--user NAME --password SECRET] [--pac-file FILE]
                  [--wpad-name NAME] [--idle-exit SECONDS] [--log-file FILE]

  --port N          port on 127.0.0.1; 0 (default) picks a free one
  --port-file FILE  the chosen port is written there once the proxy listens
  --control-dir DIR DIR/requests.log gets one tab-separated line per request:
                    method, target, status, "auth" when Basic credentials
                    were sent, written before the answer goes out (a
                    client holding its answer finds the line); DIR/stop
                    ends the proxy
  --user, --password
                    demand these Basic credentials (407 otherwise)
  --pac-file FILE   served as application/x-ns-proxy-autoconfig at /proxy.pac
                    and /wpad.dat; "{PORT}" in it becomes the proxy's port,
                    "{PROXY}" localhost:<port>
  --wpad-name NAME  answer DNS queries on 127.0.0.1:53 (UDP): NAME's A record
                    is 127.0.0.1, it has no other records, and every other
                    name does not exist. Each query is a requests.log line
                    "DNS", name, type number, answer count
  --idle-exit S     exit after S seconds without a request (default 300)
"""
import argparse
import base64
import http.client
import http.server
import os
import select
import socket
import socketserver
import sys
import threading
import time


class State:
    def __init__(self, args):
        self.args = args
        self.last = time.time()
        self.lock = threading.Lock()
        self.port = 0

    def record(self, method, target, status, auth):
        self.record_fields(method, target, status, 'auth' if auth else '-')

    def record_fields(self, *fields):
        self.last = time.time()
        if not self.args.control_dir:
            return
        with self.lock:
            with open(os.path.join(self.args.control_dir, 'requests.log'), 'a') as f:
                f.write('\t'.join(str(field) for field in fields) + '\n')


STATE = None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, fmt, *args):
        pass

    def authorised(self):
        args = STATE.args
        sent = self.headers.get('Proxy-Authorization', '')
        if not args.user:
            return True, bool(sent)
        expected = 'Basic ' + base64.b64encode(('%s:%s' % (args.user, args.password)).encode()).decode()
        return sent == expected, bool(sent)

    def refuse(self, target):
        body = b'proxy authentication required'
        STATE.record(self.command, target, 407, bool(self.headers.get('Proxy-Authorization')))
        self.send_response(407)
        self.send_header('Proxy-Authenticate', 'Basic realm="kavimor-test"')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def do_CONNECT(self):
        ok, auth = self.authorised()
        if not ok:
            return self.refuse(self.path)
        host, _, port = self.path.rpartition(':')
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except OSError:
            STATE.record('CONNECT', self.path, 502, auth)
            self.send_response(502)
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        STATE.record('CONNECT', self.path, 200, auth)
        self.send_response(200, 'Connection established')
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        sockets = [self.connection, upstream]
        try:
            while True:
                ready, _, _ = select.select(sockets, [], [], 30)
                if not ready:
                    break
                done = False
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        done = True
                        break
                    (upstream if s is self.connection else self.connection).sendall(data)
                if done:
                    break
        except OSError:
            pass
        finally:
            upstream.close()

    def forward(self):
        if self.path.startswith('/'):
            return self.serve_pac()
        ok, auth = self.authorised()
        if not ok:
            return self.refuse(self.path)
        url = self.path
        if not url.startswith('http://'):
            self.send_response(400)
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        rest = url[len('http://'):]
        hostport, slash, path = rest.partition('/')
        host, _, port = hostport.partition(':')
        headers = {k: v for k, v in self.headers.items()
                   if not k.lower().startswith('proxy-') and k.lower() != 'connection'}
        length = int(self.headers.get('Content-Length') or 0)
        body = self.rfile.read(length) if length else None
        connection = http.client.HTTPConnection(host, int(port or 80), timeout=30)
        try:
            connection.request(self.command, '/' + path, body=body, headers=headers)
            answer = connection.getresponse()
        except OSError:
            STATE.record(self.command, url, 502, auth)
            self.send_response(502)
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        STATE.record(self.command, url, answer.status, auth)
        self.send_response(answer.status, answer.reason)
        for k, v in answer.getheaders():
            if k.lower() not in ('connection', 'transfer-encoding', 'keep-alive'):
                self.send_header(k, v)
        declared = answer.getheader('Content-Length')
        if declared is None and self.command != 'HEAD':
            self.send_header('Connection', 'close')
            self.close_connection = True
        self.end_headers()
        if self.command != 'HEAD':
            while True:
                chunk = answer.read(65536)
                if not chunk:
                    break
                self.wfile.write(chunk)
        connection.close()

    def serve_pac(self):
        if self.path not in ('/proxy.pac', '/wpad.dat') or not STATE.args.pac_file:
            STATE.record(self.command, self.path, 404, False)
            self.send_response(404)
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        with open(STATE.args.pac_file) as f:
            script = f.read().replace('{PORT}', str(STATE.port))
            script = script.replace('{PROXY}', 'localhost:%d' % STATE.port).encode()
        STATE.record(self.command, self.path, 200, False)
        self.send_response(200)
        self.send_header('Content-Type', 'application/x-ns-proxy-autoconfig')
        self.send_header('Content-Length', str(len(script)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(script)

    do_GET = forward
    do_HEAD = forward


def dns_answer(query, name):
    """The answer to one DNS query packet: `name`'s A record is 127.0.0.1;
    None for a packet that is not a single standard query."""
    if len(query) < 12 or query[2] & 0xF8 != 0 or query[4:6] != b'\x00\x01':
        return None, None, None
    labels, at = [], 12
    while at < len(query) and query[at] != 0:
        size = query[at]
        if size > 63 or at + 1 + size > len(query):
            return None, None, None
        labels.append(query[at + 1:at + 1 + size].decode('ascii', 'replace'))
        at += 1 + size
    if at + 5 > len(query):
        return None, None, None
    asked = '.'.join(labels).lower()
    qtype = int.from_bytes(query[at + 1:at + 3], 'big')
    question = query[12:at + 5]
    known = asked == name.lower()
    answers = b''
    if known and qtype == 1:
        answers = b'\xc0\x0c' + (1).to_bytes(2, 'big') + (1).to_bytes(2, 'big') + \
            (60).to_bytes(4, 'big') + (4).to_bytes(2, 'big') + bytes([127, 0, 0, 1])
    flags = 0x8180 | (0 if known else 3)  # a response, recursion; NXDOMAIN for other names
    header = query[0:2] + flags.to_bytes(2, 'big') + b'\x00\x01' + \
        (1 if answers else 0).to_bytes(2, 'big') + b'\x00\x00\x00\x00'
    return header + question + answers, asked, qtype


def serve_dns(sock, name):
    while True:
        try:
            query, peer = sock.recvfrom(512)
        except OSError:
            return
        answer, asked, qtype = dns_answer(query, name)
        if answer is None:
            continue
        STATE.record_fields('DNS', asked, qtype, answer[7])
        sock.sendto(answer, peer)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global STATE
    parser = argparse.ArgumentParser(description='HTTP proxy for the installer tests')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--port-file')
    parser.add_argument('--control-dir')
    parser.add_argument('--user')
    parser.add_argument('--password', default='')
    parser.add_argument('--pac-file')
    parser.add_argument('--wpad-name')
    parser.add_argument('--idle-exit', type=float, default=300)
    parser.add_argument('--log-file')
    args = parser.parse_args()
    out = open(args.log_file or os.devnull, 'a')
    os.dup2(out.fileno(), 1)
    os.dup2(out.fileno(), 2)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    STATE = State(args)
    server = Server(('127.0.0.1', args.port), Handler)
    STATE.port = server.server_address[1]
    # Bound before the port is told, so that a client never asks too early.
    if args.wpad_name:
        dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dns.bind(('127.0.0.1', 53))
        threading.Thread(target=serve_dns, args=(dns, args.wpad_name), daemon=True).start()
    if args.port_file:
        partial = args.port_file + '.part'
        with open(partial, 'w') as f:
            f.write(str(STATE.port))
        os.replace(partial, args.port_file)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    stop = os.path.join(args.control_dir, 'stop') if args.control_dir else None
    while True:
        time.sleep(0.2)
        if stop and os.path.exists(stop):
            break
        if time.time() - STATE.last > args.idle_exit:
            break
    server.shutdown()
    return 0


if __name__ == '__main__':
    sys.exit(main())
