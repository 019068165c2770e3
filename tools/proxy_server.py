#!/usr/bin/env python3
"""A small HTTP proxy for the installer's proxy tests (Python standard
library only).

It forwards plain requests in absolute form (GET http://host:port/path),
tunnels CONNECT host:port (TLS stays end to end), can demand Basic
authentication (407 with Proxy-Authenticate) and serves a PAC script to
requests in origin form (GET /proxy.pac), so that one process plays both the
company's proxy and the server its browser settings point at.

Usage:
  proxy_server.py [--port N] [--port-file FILE] [--control-dir DIR]
                  [--user NAME --password SECRET] [--pac-file FILE]
                  [--idle-exit SECONDS] [--log-file FILE]

  --port N          port on 127.0.0.1; 0 (default) picks a free one
  --port-file FILE  the chosen port is written there once the proxy listens
  --control-dir DIR DIR/requests.log gets one tab-separated line per request:
                    method, target, status, "auth" when Basic credentials
                    were sent; DIR/stop ends the proxy
  --user, --password
                    demand these Basic credentials (407 otherwise)
  --pac-file FILE   served as application/x-ns-proxy-autoconfig at /proxy.pac;
                    "{PORT}" in it becomes the proxy's port, "{PROXY}"
                    localhost:<port>
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
        self.last = time.time()
        if not self.args.control_dir:
            return
        with self.lock:
            with open(os.path.join(self.args.control_dir, 'requests.log'), 'a') as f:
                f.write('%s\t%s\t%d\t%s\n' % (method, target, status, 'auth' if auth else '-'))


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
        self.send_response(407)
        self.send_header('Proxy-Authenticate', 'Basic realm="kavimor-test"')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)
        STATE.record(self.command, target, 407, bool(self.headers.get('Proxy-Authorization')))

    def do_CONNECT(self):
        ok, auth = self.authorised()
        if not ok:
            return self.refuse(self.path)
        host, _, port = self.path.rpartition(':')
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except OSError:
            self.send_response(502)
            self.send_header('Content-Length', '0')
            self.end_headers()
            STATE.record('CONNECT', self.path, 502, auth)
            return
        self.send_response(200, 'Connection established')
        self.end_headers()
        self.wfile.flush()
        STATE.record('CONNECT', self.path, 200, auth)
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
            self.send_response(502)
            self.send_header('Content-Length', '0')
            self.end_headers()
            STATE.record(self.command, url, 502, auth)
            return
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
        STATE.record(self.command, url, answer.status, auth)

    def serve_pac(self):
        if self.path != '/proxy.pac' or not STATE.args.pac_file:
            self.send_response(404)
            self.send_header('Content-Length', '0')
            self.end_headers()
            STATE.record(self.command, self.path, 404, False)
            return
        with open(STATE.args.pac_file) as f:
            script = f.read().replace('{PORT}', str(STATE.port))
            script = script.replace('{PROXY}', 'localhost:%d' % STATE.port).encode()
        self.send_response(200)
        self.send_header('Content-Type', 'application/x-ns-proxy-autoconfig')
        self.send_header('Content-Length', str(len(script)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(script)
        STATE.record(self.command, self.path, 200, False)

    do_GET = forward
    do_HEAD = forward


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
