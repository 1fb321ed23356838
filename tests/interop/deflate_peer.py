"""permessage-deflate peer for the interop tests, built on python3-websockets' own extension.

Usage: deflate_peer.py ROLE FOLDER KWARGS
  ROLE    "server": reads our offer, answers it; "client": offers, reads our answer.
  KWARGS  Python keyword arguments for the websockets extension factory, e.g. "server_max_window_bits=10".

Lines on stdin/stdout:
  client role: prints "OFFER <value>", reads "ANSWER <value>"; server role: reads "OFFER <value>",
  prints "ANSWER <value>". Both then print "READY", read "GO <n>", and for every i < n decode
  FOLDER/ours_<i>.bin (RSV1 set when FOLDER/ours_<i>.rsv1 exists), compare it with
  FOLDER/plain_<i>.bin, print "RESULT <i> ok|mismatch|error ...", and write their own compressed
  form of the plaintext to FOLDER/theirs_<i>.bin. Finally "DONE".
"""
import os
import sys

from websockets import headers
from websockets.extensions import permessage_deflate as pmd
from websockets.frames import Frame, Opcode


def read_line(prefix):
    line = sys.stdin.readline().rstrip("\r\n")
    if not line.startswith(prefix):
        raise SystemExit("expected %r, got %r" % (prefix, line))
    return line[len(prefix):]


def main():
    role, folder, kwargs_text = sys.argv[1], sys.argv[2], sys.argv[3]
    kwargs = eval("dict(%s)" % kwargs_text)  # test-controlled input only
    if role == "client":
        factory = pmd.ClientPerMessageDeflateFactory(**kwargs)
        offer = headers.build_extension([(factory.name, factory.get_request_params())])
        print("OFFER " + offer, flush=True)
        answer = read_line("ANSWER ")
        name, params = headers.parse_extension(answer)[0]
        assert name == factory.name, name
        extension = factory.process_response_params(params, [])
    else:
        factory = pmd.ServerPerMessageDeflateFactory(**kwargs)
        offer = read_line("OFFER ")
        name, params = headers.parse_extension(offer)[0]
        response, extension = factory.process_request_params(params, [])
        print("ANSWER " + headers.build_extension([(name, response)]), flush=True)
    print("READY", flush=True)

    count = int(read_line("GO "))
    for i in range(count):
        plain = open(os.path.join(folder, "plain_%d.bin" % i), "rb").read()
        wire = open(os.path.join(folder, "ours_%d.bin" % i), "rb").read()
        rsv1 = os.path.exists(os.path.join(folder, "ours_%d.rsv1" % i))
        try:
            data = extension.decode(Frame(Opcode.BINARY, wire, rsv1=rsv1)).data
            status = "ok" if data == plain else "mismatch"
        except Exception as e:  # reported to the test, which fails on it
            status = "error %s" % e
        print("RESULT %d %s" % (i, status), flush=True)
        theirs = extension.encode(Frame(Opcode.BINARY, plain))
        assert theirs.rsv1
        with open(os.path.join(folder, "theirs_%d.bin" % i), "wb") as f:
            f.write(theirs.data)
    print("DONE", flush=True)


if __name__ == "__main__":
    main()
