"""Download benchmark driver: see bench/download/run."""
import os
import queue
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BIN, SIZE_MB, ROUNDS = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
MIB = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(work, root):
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off; master_process off; worker_processes 1;
pid {work}/nginx.pid; error_log {work}/error.log warn;
events {{ worker_connections 256; }}
http {{ access_log off; default_type application/octet-stream; sendfile on;
  keepalive_timeout 30; client_body_temp_path {work}/cb; proxy_temp_path {work}/px;
  fastcgi_temp_path {work}/fc; uwsgi_temp_path {work}/uw; scgi_temp_path {work}/sc;
  server {{ listen 127.0.0.1:{port}; root {root}; }} }}
""")
    proc = subprocess.Popen(["/usr/sbin/nginx", "-p", work + "/", "-c", conf, "-e", work + "/error.log"])
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, port
        except OSError:
            time.sleep(0.02)
    raise SystemExit("nginx did not come up")


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(argv, **kw):
    cpu0, t0 = child_cpu(), time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    secs = time.monotonic() - t0
    return secs, child_cpu() - cpu0, secs


def run_core(work, port, task, out):
    """Runs the core on a task; returns (seconds until every byte is verified
    and on disk, CPU seconds, seconds until state 15).

    The completion check that sets state 15 runs at most once a second, so
    the data's end is the arrival of the first "stat" reply whose
    IncompleteByte (total minus the bytes of blocks on disk) is 0; "stat" is
    asked every 50 ms."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    argv = [os.path.join(BIN, "kestra-downloader"), "-Dir", out + "/", "-HttpUrl",
            f"http://127.0.0.1:{port}/{task}", "-Torrent", "task.torrent", "-HttpThread", "4",
            "-DownloadLimit", "1048576", "-LocalIp", "127.0.0.1"]
    cpu0, t0 = child_cpu(), time.monotonic()
    core = subprocess.Popen(argv, cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    lines = queue.Queue()

    def reader():
        for raw in core.stdout:
            lines.put((time.monotonic(), raw.decode("latin-1").strip()))
        lines.put((time.monotonic(), None))

    threading.Thread(target=reader, daemon=True).start()
    data_done = state15 = None
    asked = 0.0
    while True:
        now = time.monotonic()
        if data_done is None and now - asked >= 0.05:
            core.stdin.write(b"stat\n")
            core.stdin.flush()
            asked = now
        try:
            at, line = lines.get(timeout=0.05)
        except queue.Empty:
            continue
        if line is None:
            break
        if line.endswith("]IncompleteByte=0") and data_done is None:
            data_done = at - t0
        if "P2PState=15" in line and state15 is None:
            state15 = at - t0
            if data_done is None:
                data_done = state15
            core.stdin.write(b"quit\n")
            core.stdin.flush()
        if "P2PState=17" in line:
            break
        if "]Error=" in line:
            core.kill()
            raise SystemExit("core reported " + line)
    core.wait()
    if state15 is None:
        raise SystemExit("core ended without completing")
    return data_done, child_cpu() - cpu0, state15


def main():
    if shutil.which("aria2c") is None:
        print("aria2c is missing: run scripts/install-deps", file=sys.stderr)
    work = tempfile.mkdtemp(prefix="kestra-bench-download.")
    try:
        src, www = os.path.join(work, "src"), os.path.join(work, "www")
        os.makedirs(src)
        os.makedirs(www)
        print(f"building a {SIZE_MB} MiB file in {work} ...", flush=True)
        with open("/dev/urandom", "rb") as r, open(os.path.join(src, "game.pak"), "wb") as w:
            for _ in range(SIZE_MB):
                w.write(r.read(MIB))
        nginx, port = start_nginx(work, www)
        try:
            for task, block in (("t1m", MIB), ("t64k", 65536)):
                subprocess.run([os.path.join(BIN, "kestra-seed"), "make", "--files", src, "--block-size",
                                str(block), "--out", os.path.join(www, task), "--torrent", "task.torrent",
                                "--cdn", f"http://127.0.0.1:{port}/{task}"], check=True, stdout=subprocess.DEVNULL)
            url = f"http://127.0.0.1:{port}/t1m/game.pak"
            size = SIZE_MB * MIB
            best = {}
            cpu = {}
            at15 = {}
            # Round 0 is a warm-up, not counted: the first writer of a fresh
            # 1 GiB of page cache pays for reclaiming it.
            for rnd in range(ROUNDS + 1):
                runs = [("ours", lambda: run_core(work, port, "t1m", os.path.join(work, "o1"))),
                        ("ours64k", lambda: run_core(work, port, "t64k", os.path.join(work, "o2"))),
                        ("curl", lambda: timed(["curl", "-s", "-o", os.path.join(work, "c.pak"), url]))]
                if shutil.which("aria2c"):
                    runs.insert(1, ("aria2c", lambda: timed(
                        ["aria2c", "-q", "-x4", "-s4", "-k1M", "--allow-overwrite=true", "--file-allocation=none",
                         "-d", work, "-o", "a.pak", url])))
                if rnd % 2:
                    runs.reverse()
                for name, fn in runs:
                    secs, c, s15 = fn()
                    if rnd == 0:
                        continue
                    extra = f"  (state 15 at {s15:.2f}s)" if name.startswith("ours") else ""
                    print(f"round {rnd}: {name:8s} {secs:7.2f}s  {size / secs / 1e6:7.1f} MB/s  cpu {c:.2f}s{extra}",
                          flush=True)
                    if name not in best or secs < best[name]:
                        best[name], cpu[name], at15[name] = secs, c, s15
            for out in ("o1", "o2"):
                same = subprocess.run(["cmp", "-s", os.path.join(src, "game.pak"),
                                       os.path.join(work, out, "game.pak")]).returncode == 0
                print(f"{out}: identical to the source: {'yes' if same else 'NO'}")
        finally:
            nginx.terminate()
            nginx.wait()
        gib = size / (1 << 30)
        with open("/proc/loadavg") as f:
            print("load average:", " ".join(f.read().split()[:3]))
        ratio = best["aria2c"] / best["ours"] if "aria2c" in best else float("nan")
        print(f"RESULT name=download ours={best['ours']:.2f} ref={best.get('aria2c', float('nan')):.2f} "
              f"ratio={ratio:.2f} ratio_curl={best['curl'] / best['ours']:.2f} "
              f"cpu_s_per_gib={cpu['ours'] / gib:.2f} ours_64k={best['ours64k']:.2f} "
              f"ratio_64k={(best['aria2c'] / best['ours64k']) if 'aria2c' in best else float('nan'):.2f} "
              f"cpu_s_per_gib_64k={cpu['ours64k'] / gib:.2f} ours_state15={at15['ours']:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
