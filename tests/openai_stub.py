"""A small OpenAI-compatible chat completion service on 127.0.0.1 for tests.

It answers POST .../chat/completions with the replies queued by the test (a
reply text, or an error status with an error body) and records every request
it receives.
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class ChatStub:
    def __init__(self):
        self.requests = []  # (path, headers with lower-case names, body) per request
        self._replies = []
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    @property
    def base_url(self):
        host, port = self._server.server_address
        return f"http://{host}:{port}/v1"

    def reply_text(self, content):
        self._queue(200, {
            "id": "chatcmpl-stub",
            "object": "chat.completion",
            "created": 0,
            "model": "stub-model",
            "choices": [{
                "index": 0,
                "message": {"role": "assistant", "content": content},
                "finish_reason": "stop",
            }],
        })

    def reply_error(self, status, message, code="stub_error"):
        self._queue(status, {"error": {"message": message, "type": "stub", "code": code}})

    def _queue(self, status, body):
        with self._lock:
            self._replies.append((status, body))

    def _next_reply(self):
        with self._lock:
            return self._replies.pop(0)

    def _handler(self):
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                body = json.loads(self.rfile.read(length))
                stub.requests.append((self.path, {k.lower(): v for k, v in self.headers.items()}, body))
                status, reply = stub._next_reply()
                data = json.dumps(reply).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                # The client would otherwise retry server errors with back-off.
                self.send_header("x-should-retry", "false")
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format, *args):
                pass

        return Handler

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
