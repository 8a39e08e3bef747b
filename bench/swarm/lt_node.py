#!/usr/bin/python3
"""One libtorrent machine of the swarm benchmark: makes the torrent
(make), or seeds / downloads it (run) inside its network namespace and
prints "start T" when GO_FILE appears and it starts, and "done T" once it
holds every piece (epoch seconds); it keeps serving until STOP_FILE
appears.

  lt_node.py make FILE PIECE TRACKER OUT.torrent [WEBSEED]
  lt_node.py run  TORRENT SAVE_DIR IP --go-file GO_FILE --stop-file STOP_FILE [--seed] [--timeout S]
"""
import argparse
import os
import sys
import time

import libtorrent as lt


def make(args):
    fs = lt.file_storage()
    lt.add_files(fs, args.file)
    t = lt.create_torrent(fs, args.piece)
    t.add_tracker(args.tracker)
    if args.webseed:
        t.add_url_seed(args.webseed)
    lt.set_piece_hashes(t, os.path.dirname(os.path.abspath(args.file)))
    with open(args.out, "wb") as f:
        f.write(lt.bencode(t.generate()))
    # The info hash, for the tracker's list of allowed torrents.
    print(str(lt.torrent_info(args.out).info_hash()))


def run(args):
    settings = {
        "listen_interfaces": "%s:6881" % args.ip,
        "outgoing_interfaces": args.ip,
        "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
        "announce_ip": args.ip,
    }
    ses = lt.session(settings)
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(args.torrent)
    params.save_path = args.save
    params.flags |= lt.torrent_flags.paused
    params.flags &= ~lt.torrent_flags.auto_managed
    if args.seed:
        params.flags |= lt.torrent_flags.seed_mode
    h = ses.add_torrent(params)
    while not os.path.exists(args.go_file):
        time.sleep(0.01)
    start = time.time()
    h.resume()
    print("start %.3f" % start, flush=True)
    deadline = start + args.timeout
    done = False
    while time.time() < deadline and not os.path.exists(args.stop_file):
        if not done and not args.seed and h.status().is_seeding:
            done = True
            print("done %.3f" % time.time(), flush=True)
        time.sleep(0.05)
    if not done and not args.seed:
        print("timeout %.1f%%" % (h.status().progress * 100), flush=True)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    m = sub.add_parser("make")
    m.add_argument("file")
    m.add_argument("piece", type=int)
    m.add_argument("tracker")
    m.add_argument("out")
    m.add_argument("webseed", nargs="?")
    r = sub.add_parser("run")
    r.add_argument("torrent")
    r.add_argument("save")
    r.add_argument("ip")
    r.add_argument("--seed", action="store_true")
    r.add_argument("--timeout", type=float, default=600)
    r.add_argument("--go-file", required=True)
    r.add_argument("--stop-file", required=True)
    args = parser.parse_args()
    make(args) if args.what == "make" else run(args)


if __name__ == "__main__":
    main()
