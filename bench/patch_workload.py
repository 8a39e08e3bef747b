#!/usr/bin/env python3
"""Lays out one download workload of bench/patch_download.sh in DIR.

Writes the files under DIR/www/game/, each task's seed document, the task
list and the CDN answers (every file's URL), plus what the reference tools
read: DIR/aria2.list, DIR/curl.cfg, DIR/tasks (one line per task: the MD5
its start command names) and DIR/total (bytes of all files).

  patch_workload.py DIR PORT GAME WORKLOAD SCALE

WORKLOAD: tree (200 files in 40 folders and one 64 MiB file), patch (5,000
files of 4 KiB to 256 KiB in folders and three of 64 MiB), three (3 tasks of
512 MiB), big (one 4 GiB file), piece-min / piece-max (1 GiB with the
smallest and the largest piece size). SCALE (percent) shrinks the large files
and the number of small ones, for a quick run. PATCH_FLAT=1 puts the patch's
files in one folder, its CDN answer naming only the first.
"""
import hashlib
import os
import random
import sys

MIB = 1 << 20


def workload(name, scale):
    """Tasks as [(piece size, [(path in the task, size)])]."""
    def big(n):
        return max(MIB, n * scale // 100)

    def count(n):
        return max(1, n * scale // 100)

    rnd = random.Random(28)
    if name == "tree":
        files = [("data/maps/%d/f%05d.res" % (i % 40, i), rnd.randrange(4096, 262145)) for i in range(count(200))]
        return [(MIB, files + [("data/pack/big.pak", big(64 * MIB))])]
    if name == "patch":
        flat = os.environ.get("PATCH_FLAT") == "1"
        files = []
        for i in range(count(5000)):
            folder = "data" if flat else "data/d%02d/s%d" % (i % 50, i % 7)
            files.append(("%s/f%05d.res" % (folder, i), rnd.randrange(4096, 262145)))
        files += [("data/pack%d.pak" % i, big(64 * MIB)) for i in range(3)]
        return [(MIB, files)]
    if name == "three":
        return [(MIB, [("data/part%d.bin" % t, big(512 * MIB))]) for t in range(3)]
    if name == "big":
        return [(MIB, [("data/huge.bin", big(4096 * MIB))])]
    if name == "piece-min":
        return [(32768, [("data/file.bin", big(1024 * MIB))])]
    if name == "piece-max":
        return [(32 * MIB, [("data/file.bin", big(1024 * MIB))])]
    raise SystemExit("unknown workload " + name)


def write_file(path, size, piece, rnd):
    """Random bytes; returns the file's MD5 and its pieces' MD5s."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    whole = hashlib.md5()
    pieces = []
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(piece, left)
            data = rnd.randbytes(n)
            f.write(data)
            whole.update(data)
            pieces.append(hashlib.md5(data).hexdigest().upper())
            left -= n
    return whole.hexdigest().upper(), "".join(pieces)


def main():
    out, port, game, name, scale = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
    www = os.path.join(out, "www")
    for d in ("seeds", "update_task", "update_dll", "game"):
        os.makedirs(os.path.join(www, d), exist_ok=True)
    os.makedirs(os.path.join(out, "nginx", "cdnquery"), exist_ok=True)
    base = "http://127.0.0.1:%s" % port
    flat = os.environ.get("PATCH_FLAT") == "1"
    rnd = random.Random(1028)
    lines, starts, aria, curl, total = [], [], [], [], 0
    for t, (piece, files) in enumerate(workload(name, scale)):
        task = 28001 + t
        items, listed, urls = [], [], []
        for index, (rel, size) in enumerate(files):
            md5, blocks = write_file(os.path.join(www, "game", rel), size, piece, rnd)
            items.append("<file><fileindex>%d</fileindex><filemd5>%s</filemd5><filename>%s</filename>"
                         "<filesize>%d</filesize><fileblock_md5len>%d</fileblock_md5len>"
                         "<fileblock_md5>%s</fileblock_md5></file>" %
                         (index, md5, rel.replace("/", "\\"), size, len(blocks), blocks))
            listed.append("%s,%s" % (rel, md5))
            url = "%s/game/%s" % (base, rel)
            if not flat or index == 0:
                urls.append(url)
            aria.append("%s\n  out=%s\n" % (url, rel))
            curl.append('url = "%s"\noutput = "out/%s"\n' % (url, rel))
            total += size
            if index == 0:
                starts.append(md5)
        seed = ('<?xml version="1.0"?>\n<task gameid="%s"><taskid>%d</taskid><blocksize>%d</blocksize>'
                "<srcdir>game</srcdir><filecount>%d</filecount><filelist>\n%s\n</filelist>\n</task>\n" %
                (game, task, piece, len(files), "\n".join(items)))
        seed_path = os.path.join(www, "seeds", "%d.xml" % task)
        with open(seed_path, "w") as f:
            f.write(seed)
        seed_md5 = hashlib.md5(seed.encode()).hexdigest()
        lines.append("bench %s %d %d-%d %s %s/seeds/%d.xml -1 {(bench %s)} ( %s )\n" %
                     (game, task, t + 1, t + 2, seed_md5, base, task, name, " ".join(listed)))
        with open(os.path.join(out, "nginx", "cdnquery", "%d.txt" % task), "w") as f:
            f.write("".join(u + "\r\n" for u in urls))
    with open(os.path.join(www, "update_task", "task_list.txt"), "w") as f:
        f.write("".join(lines))
    with open(os.path.join(www, "update_dll", "p2sp_config.ini"), "w") as f:
        f.write("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\nRIS_NORTH=127.0.0.1\n"
                "RIS_NORTH_PORT=1\nwrite_log=true\n")
    for fname, text in (("aria2.list", "".join(aria)), ("curl.cfg", "".join(curl)),
                        ("tasks", "".join(s + "\n" for s in starts)), ("total", "%d\n" % total)):
        with open(os.path.join(out, fname), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
