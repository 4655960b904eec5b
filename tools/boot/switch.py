#!/usr/bin/env python3
"""Switches the view mode as fast as answers come, each time to a mode drawn
at random, until the connection fails (the power is cut). Writes one line
per step to LOG, flushed at once: "sent MODE" before a request goes out,
"acked MODE" once its success is in, "refused MODE TEXT" otherwise.

  switch.py URL LOG SEED"""
import http.client
import json
import random
import sys
import urllib.parse


def main(url, log_path, seed):
    rng = random.Random(seed)
    target = urllib.parse.urlsplit(url)
    with open(log_path, "w", buffering=1) as log:
        connection = http.client.HTTPConnection(target.hostname, target.port, timeout=30)
        while True:
            mode = rng.choice(["single", "quad"])
            body = json.dumps({"method": "setViewMode", "apiVersion": "1.0",
                               "params": {"value": mode}})
            log.write(f"sent {mode}\n")
            try:
                connection.request("POST", target.path, body)
                answer = connection.getresponse().read().decode()
            except (OSError, http.client.HTTPException):
                return 0
            if json.loads(answer).get("data") == {}:
                log.write(f"acked {mode}\n")
            else:
                log.write(f"refused {mode} {answer}\n")
                return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3])))
