"""The ecCodes side of the decoding benchmarks, run by Debian's Python 3 with
its python3-eccodes (ecCodes' bulk decode: unpack, then numericValues).

    /usr/bin/python3 benchmarks/peer_eccodes.py ROUNDS FILE:OFFSET:LENGTH ...

Prints one JSON object: the ecCodes version, the best time of ROUNDS passes
over all the messages named, and the number of numeric values per pass.
"""

import gc
import json
import sys
import time

import eccodes


def main() -> None:
    rounds = int(sys.argv[1])
    messages = []
    for spec in sys.argv[2:]:
        path, offset, length = spec.rsplit(":", 2)
        with open(path, "rb") as f:
            f.seek(int(offset))
            messages.append(f.read(int(length)))

    def one_pass() -> int:
        n = 0
        for data in messages:
            h = eccodes.codes_new_from_message(data)
            try:
                eccodes.codes_set(h, "unpack", 1)
                n += len(eccodes.codes_get_array(h, "numericValues"))
            finally:
                eccodes.codes_release(h)
        return n

    values = one_pass()  # ecCodes loads and caches its tables on first use
    best = float("inf")
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        one_pass()
        best = min(best, time.perf_counter() - t)
    print(json.dumps({"version": eccodes.codes_get_api_version(), "seconds": best, "values": values}))


if __name__ == "__main__":
    main()
