"""Times `db[key]` and `get_many` of whatever quordb the interpreter running it imports: how
bench/decode.py --before measures another checkout's package on the same file and keys.

    python bench/lookup_probe.py DB KEYS_JSON REPS   # prints {"db[key]": s, "get_many": s}

KEYS_JSON holds {"loop": [...], "batch": [...]}: the keys of the lookup loop and of the batch.
Each figure is the best of REPS runs, in seconds per key, the collector off while the clock runs.
"""

from __future__ import annotations

import gc
import json
import sys
import time

from quordb import QuorReader


def best(run, reps: int) -> float:
    fastest = float("inf")
    for _ in range(reps):
        gc.disable()
        start = time.perf_counter()
        made = run()
        fastest = min(fastest, time.perf_counter() - start)
        gc.enable()
        del made
    return fastest


def main() -> None:
    path, keys_path, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(keys_path) as file:
        keys = json.load(file)
    loop, batch = keys["loop"], keys["batch"]
    db = QuorReader(path)

    def lookups() -> None:
        for key in loop:
            db[key]

    print(
        json.dumps(
            {
                "db[key]": best(lookups, reps) / len(loop),
                "get_many": best(lambda: db.get_many(batch), reps) / len(batch),
            }
        )
    )


if __name__ == "__main__":
    main()
