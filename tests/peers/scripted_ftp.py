#!/usr/bin/python3
"""A scripted FTP server for protocol tests.

It replays a script of expected commands and the replies to give, records every command it
receives (one per line, in the transcript file) and can misbehave on cue: withhold a reply,
drop the control or the data connection, answer late, announce an unusable passive address.

Script (JSON):
  {"sessions": [{"greeting": "220 Ready", "steps": [STEP, ...]}, ...]}
  or {"greeting": ..., "steps": [...]} for a single session.
One session per accepted control connection, in order.

STEP keys:
  cmd       the command expected, exactly ("cmd_re": a regular expression instead)
  reply     a reply line, a list of lines, or null for no reply at all
  pasv      open a passive data listener; the reply defaults to the 227 announcing it
  pasv_address  "h1,h2,h3,h4" to announce instead of 127,0,0,1
  port      take the PORT address for the next data connection; reply defaults to 200
  data      sent on the data connection after the reply:
              {"text": "..."} or {"size": N} (byte i is i % 251)
              "chunk": bytes per send, "delay_ms": pause between sends,
              "drop_after": close the connection abruptly after that many bytes,
              "hold_until": send one chunk, then wait until that command was answered
  final     reply once the data went out (default "226 Transfer complete"; null: none)
  late      give this reply only after the running transfer's final reply
  delay_ms  pause before replying
  close     close the control connection after replying

A command that does not match the next step is answered "500 Unexpected command" and the
step stays; commands after the last step are answered "500 End of script".
"""

import argparse
import json
import os
import re
import socket
import threading
import time


def pattern_bytes(offset, count):
    return bytes((offset + i) % 251 for i in range(count))


class Session:
    def __init__(self, conn, script, transcript):
        self.conn = conn
        self.script = script
        self.transcript = transcript
        self.lock = threading.Lock()
        self.listener = None
        self.port_address = None
        self.transfer = None  # running data thread
        self.late = []  # replies waiting for the transfer's final reply
        self.answered = []  # commands answered so far
        self.answered_cv = threading.Condition()

    def send(self, lines):
        if lines is None:
            return
        if isinstance(lines, str):
            lines = [lines]
        with self.lock:
            try:
                self.conn.sendall("".join(line + "\r\n" for line in lines).encode("latin-1"))
            except OSError:
                pass

    def record(self, command):
        with open(self.transcript, "a", encoding="latin-1") as out:
            out.write(command + "\n")
            out.flush()

    def mark_answered(self, command):
        with self.answered_cv:
            self.answered.append(command)
            self.answered_cv.notify_all()

    def wait_answered(self, command, timeout=10):
        deadline = time.time() + timeout
        with self.answered_cv:
            while not any(c == command or c.startswith(command + " ") for c in self.answered):
                left = deadline - time.time()
                if left <= 0:
                    return
                self.answered_cv.wait(left)

    def data_socket(self):
        if self.port_address:
            host, port = self.port_address
            self.port_address = None
            return socket.create_connection((host, port), timeout=10)
        if self.listener:
            self.listener.settimeout(10)
            try:
                sock, _ = self.listener.accept()
            finally:
                self.listener.close()
                self.listener = None
            return sock
        return None

    def run_transfer(self, step):
        data = step["data"]
        payload_size = data.get("size")
        text = data.get("text", "").encode("latin-1")
        total = payload_size if payload_size is not None else len(text)
        chunk = data.get("chunk", 65536)
        delay = data.get("delay_ms", 0) / 1000.0
        drop_after = data.get("drop_after")
        hold = data.get("hold_until")
        try:
            sock = self.data_socket()
        except OSError:
            sock = None
        if sock is None:
            self.send("425 No data connection")
            self.finish_transfer()
            return
        sent = 0
        try:
            while sent < total:
                limit = total if drop_after is None else min(total, drop_after)
                if sent >= limit:
                    break
                n = min(chunk, limit - sent)
                block = pattern_bytes(sent, n) if payload_size is not None else text[sent:sent + n]
                sock.sendall(block)
                sent += n
                if hold:
                    self.wait_answered(hold)
                    hold = None
                if delay:
                    time.sleep(delay)
        except OSError:
            pass
        if drop_after is not None:
            # An abrupt end: RST instead of FIN.
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            except OSError:
                pass
        sock.close()
        self.send(step.get("final", "226 Transfer complete") if "final" in step or drop_after is None
                  else None)
        self.finish_transfer()

    def finish_transfer(self):
        with self.lock:
            late, self.late = self.late, []
            self.transfer = None
        for lines in late:
            self.send(lines)

    def reply_for(self, command, step):
        if step.get("pasv"):
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            self.listener = listener
            port = listener.getsockname()[1]
            address = step.get("pasv_address", "127,0,0,1")
            return step.get("reply", "227 Entering Passive Mode (%s,%d,%d)" % (address, port // 256, port % 256))
        if step.get("port"):
            numbers = command.split(" ", 1)[1].split(",")
            self.port_address = (".".join(numbers[:4]), int(numbers[4]) * 256 + int(numbers[5]))
            return step.get("reply", "200 PORT command successful")
        return step.get("reply")

    def run(self):
        steps = list(self.script.get("steps", []))
        self.send(self.script.get("greeting", "220 Scripted FTP server ready"))
        reader = self.conn.makefile("rb")
        while True:
            try:
                raw = reader.readline()
            except OSError:
                break
            if not raw:
                break
            command = raw.decode("latin-1").rstrip("\r\n")
            self.record(command)
            if not steps:
                self.send("500 End of script")
                self.mark_answered(command)
                continue
            step = steps[0]
            expected = step.get("cmd")
            matches = (command == expected) if expected is not None else \
                bool(re.fullmatch(step.get("cmd_re", ".*"), command))
            if not matches:
                self.send("500 Unexpected command (expected %s)" % (expected or step.get("cmd_re")))
                self.mark_answered(command)
                continue
            steps.pop(0)
            if step.get("delay_ms"):
                time.sleep(step["delay_ms"] / 1000.0)
            reply = self.reply_for(command, step)
            if step.get("late"):
                with self.lock:
                    if self.transfer is not None:
                        self.late.append(reply)
                        reply = None
            self.send(reply)
            self.mark_answered(command)
            if "data" in step:
                thread = threading.Thread(target=self.run_transfer, args=(step,), daemon=True)
                with self.lock:
                    self.transfer = thread
                thread.start()
            if step.get("close"):
                break
        try:
            self.conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--transcript", required=True)
    args = parser.parse_args()
    with open(args.script, encoding="utf-8") as f:
        script = json.load(f)
    sessions = script.get("sessions") or [script]

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(5)
    open(args.transcript, "w").close()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(tmp, args.port_file)

    for session in sessions:
        conn, _ = server.accept()
        Session(conn, session, args.transcript).run()
    while True:  # further connections are refused politely
        conn, _ = server.accept()
        conn.close()


if __name__ == "__main__":
    main()
