"""A small OpenAI-compatible chat completion service on 127.0.0.1 for tests.

It answers each POST with the next reply the test queued (a text, or an error
status with an error body) and records the requests it receives.
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class ChatStub:
    def __init__(self):
        self.requests = []  # (path, headers with lower-case names, body)
        self.replies = []  # (status, body)
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)
        self.base_url = "http://127.0.0.1:%d/v1" % self._server.server_address[1]

    def reply_text(self, content):
        message = {"role": "assistant", "content": content}
        self.replies.append((200, {"choices": [{"index": 0, "message": message, "finish_reason": "stop"}]}))

    def reply_error(self, status, message):
        self.replies.append((status, {"error": {"message": message, "type": "stub", "code": "stub"}}))

    def _handler(self):
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                stub.requests.append((self.path, {k.lower(): v for k, v in self.headers.items()}, body))
                status, reply = stub.replies.pop(0)
                data = json.dumps(reply).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.send_header("x-should-retry", "false")  # no retries with back-off on errors
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
