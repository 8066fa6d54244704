"""The ecCodes side of the encoding benchmark, run by Debian's Python 3 with
its python3-eccodes: each message is unpacked once (outside the timing),
then packed again from the values ecCodes holds and its bytes taken
(codes_set(h, "pack", 1), codes_get_message).

    /usr/bin/python3 benchmarks/peer_eccodes_pack.py ROUNDS FILE:OFFSET:LENGTH ...

Prints one JSON object: the ecCodes version, the best time of ROUNDS passes
over all the messages named, the bytes written per pass, and the names of the
messages ecCodes could not unpack or pack (left out of the timing).
"""

import gc
import json
import sys
import time

import eccodes


def main() -> None:
    rounds = int(sys.argv[1])
    handles, failed = [], []
    for spec in sys.argv[2:]:
        path, offset, length = spec.rsplit(":", 2)
        with open(path, "rb") as f:
            f.seek(int(offset))
            data = f.read(int(length))
        h = eccodes.codes_new_from_message(data)
        try:
            eccodes.codes_set(h, "unpack", 1)
            eccodes.codes_set(h, "pack", 1)
        except eccodes.CodesInternalError:
            eccodes.codes_release(h)
            failed.append(spec)
            continue
        handles.append(h)

    def one_pass() -> int:
        n = 0
        for h in handles:
            eccodes.codes_set(h, "pack", 1)
            n += len(eccodes.codes_get_message(h))
        return n

    written = one_pass()
    best = float("inf")
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        one_pass()
        best = min(best, time.perf_counter() - t)
    print(json.dumps({"version": eccodes.codes_get_api_version(), "seconds": best, "bytes": written,
                      "failed": failed}))


if __name__ == "__main__":
    main()
