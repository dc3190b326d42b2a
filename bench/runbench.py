#!/usr/bin/python3
"""Runs every benchmark side by side with its reference tool and writes bench/results.md.

Each pair runs in A B A B alternation; the row gives the median of each side and their ratio,
so that the load other work puts on this machine falls on both sides alike.
Usage: runbench.py BUILD_DIR [--quick] [--rounds N] [--only NAME,...]
With --only, the rows of the other benchmarks are kept from the results.md written before.
"""
import argparse
import datetime
import json
import os
import platform
import random
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def run_timed(argv, env=None, cwd=None, stdout=subprocess.DEVNULL, check=True):
    """Wall time in seconds and peak resident set (KiB) of one process."""
    # stderr goes to a file: a pipe nobody reads while waiting would stall a chatty process.
    # The peak RSS comes from GNU time: a process forked from this (large) Python process and
    # then exec'd reports the copy's resident size in its own ru_maxrss.
    with tempfile.TemporaryFile() as errfile, tempfile.NamedTemporaryFile("r") as rssfile:
        timed = ["/usr/bin/time", "-q", "-f", "%M", "-o", rssfile.name] + list(argv)
        start = time.perf_counter()
        proc = subprocess.Popen(timed, env=env, cwd=cwd, stdout=stdout, stderr=errfile)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        run_timed.last_code = proc.returncode
        run_timed.last_cpu = usage.ru_utime + usage.ru_stime
        errfile.seek(0)
        err = errfile.read().decode(errors="replace")
        lines = [line for line in rssfile.read().split() if line.isdigit()]
        peak_kib = int(lines[-1]) if lines else usage.ru_maxrss
    if check and proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), proc.returncode, err[-2000:]))
    return wall, peak_kib, err


def alternate(rounds, ours, reference, between=None):
    """Runs ours() and reference() in turn; each returns (seconds, peak KiB)."""
    a, b = [], []
    for _ in range(rounds):
        a.append(ours())
        if between:
            between()
        b.append(reference())
        if between:
            between()
    return a, b


def median(values):
    return statistics.median(values)


def fmt_s(seconds):
    return "%.3f s" % seconds


def fmt_mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


def make_random_file(path, size):
    chunk = os.urandom(4 * MIB)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(chunk))
            f.write(chunk[:n])
            left -= n
            # Vary the content a little so that nothing below us can deduplicate it.
            chunk = os.urandom(16) + chunk[16:]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Row:
    def __init__(self, what, ours, reference, ratio, rss, goal, met, note=""):
        self.what, self.ours, self.reference = what, ours, reference
        self.ratio, self.rss, self.goal, self.met, self.note = ratio, rss, goal, met, note
        self.bench = ""


# ---------------------------------------------------------------------------------------------
# MD5 of a large file: the utilities' MD5 check against md5sum.

def bench_md5(ctx):
    size = ctx.size(1024 * MIB, 128 * MIB)
    small = 64 * MIB
    path = os.path.join(ctx.tmp, "md5-big.bin")
    small_path = os.path.join(ctx.tmp, "md5-small.bin")
    make_random_file(path, size)
    make_random_file(small_path, small)
    tool = os.path.join(ctx.bin, "bench_md5")
    try:
        # Both read from the page cache once it is warm; one unmeasured pass each warms it.
        digest = subprocess.run([tool, path], check=True, capture_output=True).stdout.split()[0]
        expected = subprocess.run(["md5sum", path], check=True, capture_output=True).stdout.split()[0]
        if digest != expected:
            raise RuntimeError("MD5 differs from md5sum: %s %s" % (digest, expected))
        ours, ref = alternate(ctx.rounds, lambda: run_timed([tool, path])[:2],
                              lambda: run_timed(["md5sum", path])[:2])
        small_rss = max(run_timed([tool, small_path])[1] for _ in range(2))
    finally:
        os.remove(path)
        os.remove(small_path)
    t_ours = median([x[0] for x in ours])
    t_ref = median([x[0] for x in ref])
    rss = max(x[1] for x in ours)
    throughput_ratio = t_ref / t_ours
    flat = rss <= small_rss + 4 * 1024
    return Row("MD5 of a %d MiB file (page cache warm)" % (size // MIB),
               "%s (%.0f MiB/s)" % (fmt_s(t_ours), size / MIB / t_ours),
               "`md5sum`: %s (%.0f MiB/s)" % (fmt_s(t_ref), size / MIB / t_ref),
               "throughput %.2f x" % throughput_ratio,
               "%s (%s for %d MiB)" % (fmt_mib(rss), fmt_mib(small_rss), small // MIB),
               ">= 0.9 x md5sum; RSS flat", throughput_ratio >= 0.9 and flat)


# ---------------------------------------------------------------------------------------------
# The signature check of a package: the unpacker's verifier against minisign -V.

def bench_signature(ctx):
    size = ctx.size(200 * MIB, 32 * MIB)
    folder = os.path.join(ctx.tmp, "signature")
    os.makedirs(folder)
    package = os.path.join(folder, "Tarvo2_Upgrade_bench.zip")
    make_random_file(package, size)
    key = os.path.join(folder, "publisher")
    subprocess.run(["minisign", "-G", "-W", "-p", key + ".pub", "-s", key + ".key"], check=True,
                   capture_output=True)
    with open(key + ".pub") as f:
        public = f.read().splitlines()[1]
    tool = os.path.join(ctx.bin, "bench_verify")
    rows = []
    try:
        for kind, options in (("prehashed (BLAKE2b-512)", []), ("legacy", ["-l"])):
            signature = package + (".legacy" if options else "") + ".minisig"
            subprocess.run(["minisign", "-S", "-s", key + ".key", "-m", package, "-x", signature]
                           + options, check=True, capture_output=True)
            # Both read the package from the page cache once it is warm.
            run_timed([tool, public, package, signature])
            a, b = alternate(ctx.rounds, lambda: run_timed([tool, public, package, signature])[:2],
                             lambda: run_timed(["minisign", "-V", "-q", "-P", public, "-m", package,
                                                "-x", signature])[:2])
            t_ours = median([x[0] for x in a])
            t_ref = median([x[0] for x in b])
            ratio = t_ours / t_ref
            rows.append(Row("signature check of a %d MiB package, %s signature (page cache warm)"
                            % (size // MIB, kind),
                            "%s (%.0f MiB/s)" % (fmt_s(t_ours), size / MIB / t_ours),
                            "`minisign -V`: %s (%.0f MiB/s)" % (fmt_s(t_ref), size / MIB / t_ref),
                            "time %.2f x" % ratio, fmt_mib(max(x[1] for x in a)),
                            "<= 1.1 x minisign -V", ratio <= 1.1))
    finally:
        shutil.rmtree(folder)
    return rows


# ---------------------------------------------------------------------------------------------
# Download from a loopback nginx (sendfile) against curl -o.

NGINX_CONF = """
worker_processes 1;
daemon off;
master_process on;
pid {tmp}/nginx.pid;
error_log {tmp}/nginx-error.log warn;
{user}
events {{ worker_connections 64; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    types {{ application/zip zip; }}
    server {{
        listen 127.0.0.1:{port}{tls};
        root {root};
    }}
}}
"""


def start_nginx(ctx, root, pki=None):
    """With `pki` (a folder of tests/support/testpki.sh) it serves HTTPS with its good.pem."""
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    conf_dir = os.path.join(ctx.tmp, "nginx-tls" if pki else "nginx")
    os.makedirs(conf_dir, exist_ok=True)
    port = free_port()
    conf = os.path.join(conf_dir, "nginx.conf")
    tls = (" ssl;\n        ssl_certificate {0}/good.pem;\n        ssl_certificate_key {0}/good.key"
           .format(pki) if pki else "")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(tmp=conf_dir, port=port, root=root, tls=tls,
                                  user="user root;" if os.geteuid() == 0 else ""))
    proc = subprocess.Popen([nginx, "-p", conf_dir, "-c", conf, "-e", conf_dir + "/nginx-error.log"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return proc, port
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("nginx did not start: " + open(conf_dir + "/nginx-error.log").read())


def stop_nginx(proc):
    proc.send_signal(signal.SIGQUIT)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def measure_download(ctx, size, tls):
    """Medians of the download component and of curl fetching one random package from a
    loopback nginx, over HTTPS with a test CA's certificate when `tls`; and ours' peak RSS."""
    tag = "tls" if tls else "plain"
    root = os.path.join(ctx.tmp, "www-" + tag)
    out = os.path.join(ctx.tmp, "dl-" + tag)
    pki = os.path.join(ctx.tmp, "pki")
    os.makedirs(root)
    os.makedirs(out)
    extra = []
    if tls:
        subprocess.run(["/bin/sh", os.path.join(SOURCE, "tests", "support", "testpki.sh"), pki],
                       check=True, capture_output=True)
        extra = [os.path.join(pki, "ca.pem")]
    name = "Tarvo2_Upgrade_bench.zip"
    make_random_file(os.path.join(root, name), size)
    proc, port = start_nginx(ctx, root, pki if tls else None)
    url = "%s://127.0.0.1:%d/%s" % ("https" if tls else "http", port, name)
    saved = os.path.join(out, name)
    tool = os.path.join(ctx.bin, "bench_download")
    curl = ["curl", "-s", "-f"] + (["--cacert"] + extra if tls else []) + ["-o", saved, url]

    def clean():
        for entry in os.listdir(out):
            os.remove(os.path.join(out, entry))

    def run(argv):
        wall, rss, _ = run_timed(argv)
        if os.path.getsize(saved) != size:
            raise RuntimeError("%s saved %d bytes" % (argv[0], os.path.getsize(saved)))
        return wall, rss

    try:
        # Warm the server's page cache once.
        run(curl)
        clean()
        a, b = alternate(ctx.rounds, lambda: run([tool, url, out] + extra), lambda: run(curl),
                         between=clean)
    finally:
        stop_nginx(proc)
        shutil.rmtree(root)
        shutil.rmtree(out)
        shutil.rmtree(pki, ignore_errors=True)
    return median([x[0] for x in a]), median([x[0] for x in b]), max(x[1] for x in a)


def bench_download(ctx):
    size = ctx.size(512 * MIB, 64 * MIB)
    t_ours, t_ref, rss = measure_download(ctx, size, tls=False)
    ratio = t_ref / t_ours
    return Row("download of a %d MiB package from loopback nginx %s (sendfile on)"
               % (size // MIB, nginx_version()),
               "%s (%.0f MiB/s)" % (fmt_s(t_ours), size / MIB / t_ours),
               "`curl -o`: %s (%.0f MiB/s)" % (fmt_s(t_ref), size / MIB / t_ref),
               "throughput %.2f x" % ratio, fmt_mib(rss), ">= 0.95 x curl; RSS <= 64 MiB",
               ratio >= 0.95 and rss <= 64 * 1024)


def bench_https(ctx):
    size = ctx.size(200 * MIB, 32 * MIB)
    t_ours, t_ref, rss = measure_download(ctx, size, tls=True)
    ratio = t_ref / t_ours
    return Row("HTTPS download of a %d MiB package from loopback nginx %s (TLS, certificate of a"
               " test CA given as ca_file)" % (size // MIB, nginx_version()),
               "%s (%.0f MiB/s)" % (fmt_s(t_ours), size / MIB / t_ours),
               "`curl --cacert -o`: %s (%.0f MiB/s)" % (fmt_s(t_ref), size / MIB / t_ref),
               "throughput %.2f x" % ratio, fmt_mib(rss), ">= 0.9 x curl", ratio >= 0.9)


def nginx_version():
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    err = subprocess.run([nginx, "-v"], capture_output=True, text=True).stderr.strip()
    return err.split("/")[-1] if "/" in err else ""


# ---------------------------------------------------------------------------------------------
# Unpacking a package of 300 files: ZipHandler against md5sum + unzip -q.

def make_package(path, total, files, apks):
    """APKs (incompressible, like real ones) at the top, action files below actions/."""
    rng = random.Random(9)
    apk_size = total * 4 // 5 // apks
    action_size = (total - apk_size * apks) // (files - apks)
    names = ["Tarvo2Services.apk", "SmartCamera.apk", "iflytekMix.apk"]
    names += ["App%02d.apk" % i for i in range(apks - len(names))]
    # Action files: mostly repeated servo frames, which deflate well, with some noise.
    frame = bytes(rng.randrange(256) for _ in range(512))
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        for name in names:
            z.writestr(name, os.urandom(apk_size))
        for i in range(files - apks):
            reps = action_size // len(frame) + 1
            data = (frame * reps)[:action_size - 64] + os.urandom(64)
            z.writestr("actions/group%02d/action%03d.hts" % (i % 10, i), data)


def md5_of(path):
    return subprocess.run(["md5sum", path], check=True, capture_output=True,
                          text=True).stdout.split()[0]


def bench_unpack(ctx):
    total = ctx.size(500 * MIB, 60 * MIB)
    work = os.path.join(ctx.tmp, "unpack")
    os.makedirs(work)
    package = os.path.join(work, "Tarvo2_Upgrade_bench.zip")
    make_package(package, total, 300, 20)
    digest = md5_of(package)
    tool = os.path.join(ctx.bin, "bench_unpack")

    def clean():
        for entry in os.listdir(work):
            p = os.path.join(work, entry)
            if p == package:
                continue
            if os.path.isdir(p):
                shutil.rmtree(p)
            else:
                os.remove(p)

    def count_files():
        return sum(len(f) for _, _, f in os.walk(work)) - 1

    def ours():
        wall, rss, _ = run_timed([tool, package, digest], cwd=ctx.tmp)
        if count_files() != 300:
            raise RuntimeError("unpacker left %d files" % count_files())
        return wall, rss

    def reference():
        script = 'md5sum "$1" >/dev/null && unzip -q -o "$1" -d "$2"'
        wall, rss, _ = run_timed(["sh", "-c", script, "sh", package, work])
        if count_files() != 300:
            raise RuntimeError("unzip left %d files" % count_files())
        return wall, rss

    try:
        reference()
        clean()
        a, b = alternate(ctx.rounds, ours, reference, between=clean)
    finally:
        shutil.rmtree(work)
    t_ours = median([x[0] for x in a])
    t_ref = median([x[0] for x in b])
    rss = max(x[1] for x in a)
    ratio = t_ours / t_ref
    return Row("unpacking a %d MiB package of 300 files (20 APKs), MD5 check included"
               % (total // MIB),
               "`ZipHandler`: %s" % fmt_s(t_ours),
               "`md5sum` + `unzip -q`: %s" % fmt_s(t_ref),
               "wall time %.2f x" % ratio, fmt_mib(rss), "<= 1.2 x", ratio <= 1.2)


# ---------------------------------------------------------------------------------------------
# The session library (Google Benchmark), runs alternated as whole processes.

def bench_session(ctx):
    tool = os.path.join(ctx.bin, "bench_session")
    min_time = "0.2" if ctx.quick else "0.5"
    results = {}
    rss = 0
    for _ in range(ctx.rounds):
        out = os.path.join(ctx.tmp, "session.json")
        wall, peak, _ = run_timed([tool, "--benchmark_format=json", "--benchmark_out=" + out,
                                   "--benchmark_min_time=" + min_time])
        rss = max(rss, peak)
        with open(out) as f:
            for b in json.load(f)["benchmarks"]:
                results.setdefault(b["name"], []).append(b)
    def ns(name):
        return median([b["real_time"] for b in results[name]])
    def per_s(name):
        return median([b["items_per_second"] for b in results[name]])
    rows = []
    enc, raw = ns("BM_Encode52_Session"), ns("BM_Encode52_RawMsgpack")
    rows.append(Row("session: encode and send message 52 on a loopback connection",
                    "%.0f ns" % enc, "raw msgpack-c + write: %.0f ns" % raw,
                    "time %.2f x" % (enc / raw), fmt_mib(rss), "<= 1.2 x raw", enc / raw <= 1.2))
    dec, only = per_s("BM_DecodeDispatch_FrameReader"), per_s("BM_DecodeDispatch_ReadOnly")
    rows.append(Row("session: decode and dispatch serial replies, one core (in memory, 64 KiB reads)",
                    "%.0f frames/s" % dec, "loop only reading the bytes: %.0f frames/s" % only,
                    "time %.0f x" % (only / dec), fmt_mib(rss), ">= 200 000 frames/s",
                    dec >= 200000))
    rec, ronly = per_s("BM_ReceiveSerial_Session"), per_s("BM_ReceiveSerial_ReadOnly")
    rows.append(Row("session: receive, decode and dispatch serial replies from a loopback socket",
                    "%.0f frames/s" % rec, "socket reader only reading: %.0f frames/s" % ronly,
                    "time %.0f x" % (ronly / rec), fmt_mib(rss), ">= 200 000 frames/s",
                    rec >= 200000))
    return rows


# ---------------------------------------------------------------------------------------------
# Start-up to the shown main window, offscreen, against `true`.

def bench_startup(ctx):
    run = os.path.join(ctx.tmp, "startup")
    shutil.copytree(ctx.dist, run, symlinks=True)
    runtime = os.path.join(ctx.tmp, "startup-runtime")
    home = os.path.join(ctx.tmp, "startup-home")
    os.makedirs(runtime, mode=0o700)
    os.makedirs(home)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime, HOME=home,
               LD_PRELOAD=os.path.join(ctx.bin, "libzevbench_showprobe.so"),
               ANDROID_ADB_SERVER_PORT=str(free_port()))
    program = os.path.join(run, "Tarvo2_UpgradeTool")
    true = shutil.which("true")

    def ours():
        wall, rss, err = run_timed([program], env=env, cwd=run)
        if "shown: Tarvo2_UpgradeTool" not in err:
            raise RuntimeError("main window not seen: " + err[-500:])
        return wall, rss

    try:
        ours()
        a, b = alternate(ctx.rounds * 2, ours, lambda: run_timed([true])[:2])
    finally:
        subprocess.run([os.path.join(run, "fastbootfile", "adb"), "kill-server"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
        shutil.rmtree(run)
        shutil.rmtree(runtime)
        shutil.rmtree(home)
    t_ours = median([x[0] for x in a])
    t_ref = median([x[0] for x in b])
    return Row("start-up to the painted main window (offscreen platform)",
               fmt_s(t_ours), "`true`: %.4f s" % t_ref, "time %.0f x (%.3f s above the floor)"
               % (t_ours / t_ref, t_ours - t_ref), fmt_mib(max(x[1] for x in a)), "<= 0.5 s",
               t_ours <= 0.5)


# ---------------------------------------------------------------------------------------------
# A whole upgrade against the simulated robot: the program from the click on the start button
# to the finish box, against a shell script running the adb command lines it ran, in sequence,
# against a fresh simulated robot.

def upgrade_scenario():
    apks = [
        {"file": "Tarvo2Services.apk", "package": "com.norvikinc.tarvo2services",
         "version": "1.2.3", "size": 256 * 1024},
        {"file": "SmartCamera.apk", "package": "com.norvik.smartcamera", "version": "1.0.8",
         "size": 256 * 1024},
        {"file": "iflytekMix.apk", "package": "com.norvik.iflytekmix", "version": "2.1.0",
         "size": 256 * 1024},
    ]
    for i in range(17):
        apks.append({"file": "App%02d.apk" % i, "package": "com.example.app%02d" % i,
                     "version": "1.0.%d" % i, "size": 256 * 1024})
    actions = {}
    for i in range(200):
        actions["actions/group%02d/action%03d.hts" % (i % 10, i)] = {"size": 4096}
    return {"web": {"package": {"apks": apks, "actions": actions}}}


def adb_command_lines(log_path):
    lines = []
    with open(log_path, errors="replace") as f:
        started = False
        for line in f:
            if "Start Upgrade" in line:
                started = True
            if started and "adb command: " in line:
                lines.append(line.split("adb command: ", 1)[1].rstrip("\n"))
    return lines


def bench_upgrade(ctx):
    sys.path.insert(0, os.path.join(SOURCE, "tools", "robot-sim"))
    import simctl  # noqa: E402

    work = os.path.join(ctx.tmp, "upgrade")
    run = os.path.join(work, "run")
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    scenario = os.path.join(work, "scenario.json")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    with open(scenario, "w") as f:
        json.dump(upgrade_scenario(), f)
    shutil.copytree(ctx.dist, run, symlinks=True)
    adb = os.path.join(run, "fastbootfile", "adb")
    os.remove(adb)
    # Debian's adb, meeting the simulated robot as it meets one on USB.
    shutil.copy(os.path.join(SOURCE, "tools", "robot-sim", "fastboot-adb"), adb)
    program = os.path.join(run, "Tarvo2_UpgradeTool")
    env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen",
               LANG="C.UTF-8", LC_ALL="C.UTF-8", ANDROID_ADB_SERVER_PORT=str(free_port()),
               ZEV_BENCH_PROBE="upgrade",
               # The adb library's diagnostic lines name every command line it ran.
               QT_LOGGING_RULES="zev.adb.debug=true",
               LD_PRELOAD=os.path.join(ctx.bin, "libzevbench_showprobe.so"))
    simctl_py = [sys.executable, os.path.join(SOURCE, "tools", "robot-sim", "simctl.py")]

    def start_robot(state):
        if os.path.exists(state):
            shutil.rmtree(state)
        out = subprocess.run(simctl_py + ["start", "--state-dir", state, "--scenario", scenario,
                                          "--timeout", "1250"],
                             check=True, capture_output=True, text=True, timeout=1300,
                             env=dict(os.environ, ZEV_SIM_LOCK_TIMEOUT="1200")).stdout
        return json.loads(out)

    def stop_robot(state):
        subprocess.run([adb, "kill-server"], env=env, capture_output=True, timeout=20)
        subprocess.run(simctl_py + ["stop", "--state-dir", state], capture_output=True, timeout=60)

    fixture = simctl.Sim(scenario).usb_fixture()
    state = os.path.join(work, "robot")

    def ours():
        for log in glob_logs(run):
            os.remove(log)
        # ZEV_BENCH_PERF=FILE records where the program's time goes (perf record -g).
        trace = ["perf", "record", "-F", "999", "-g", "-o",
                 os.environ["ZEV_BENCH_PERF"], "--"] if os.environ.get("ZEV_BENCH_PERF") else []
        wall, rss, err = run_timed(trace + ["umockdev-run", "--device", fixture, "--", program],
                                   env=env, cwd=run, check=False)
        last_exit[0] = run_timed.last_code
        if "finish box: Success" not in err:
            logs = glob_logs(run)
            tail = open(logs[0], errors="replace").read()[-3000:] if logs else ""
            if logs:
                shutil.copyfile(logs[0], "/tmp/zev-bench-upgrade-failed.log")
            for name in ("commands.log", "exec.log"):
                if os.path.exists(os.path.join(state, name)):
                    shutil.copyfile(os.path.join(state, name), "/tmp/zev-bench-upgrade-failed-" + name)
            raise RuntimeError("the upgrade did not end in Success (exit %d): %s\n%s"
                               % (rc_of(err), err[-1500:], tail))
        seconds = float(err.split("finish box: Success after ", 1)[1].split(" s")[0])
        logs = glob_logs(run)
        lines = adb_command_lines(logs[0])
        text = open(logs[0], errors="replace").read()
        # Kept for finding where the time goes.
        shutil.copyfile(logs[0], "/tmp/zev-bench-upgrade-last.log")
        return seconds, rss, lines, prescribed_waits(lines, text)

    package_folder = os.path.join(run, "download", "2M")
    # The headless mode needs no platform named: it picks its own. The probe stays, for what it
    # does first: the adb processes start without umockdev's preload, as in the dialog's runs.
    headless_env = {k: v for k, v in env.items() if k != "QT_QPA_PLATFORM"}

    def headless():
        """The same upgrade with --headless --json: the finish event's time from the start
        button's slot, the span the probe measures from the click to the box."""
        with tempfile.TemporaryFile() as out:
            _, rss, err = run_timed(["umockdev-run", "--device", fixture, "--", program, "--headless",
                                     "--json"], env=headless_env, cwd=run, stdout=out, check=False)
            out.seek(0)
            last = json.loads(out.read().decode().splitlines()[-1])
        if run_timed.last_code != 0 or last.get("code") != 0:
            raise RuntimeError("the headless upgrade failed (exit %d): %s %s"
                               % (run_timed.last_code, last, err[-1500:]))
        return last["seconds"], rss

    def loop_handover(robots):
        """Seconds from plugging the next robot to its first adb command, in --loop."""
        out = subprocess.run(["umockdev-wrapper", sys.executable, os.path.join(SOURCE, "bench", "loopplug.py"),
                              program, fixture, str(robots)], env=headless_env, cwd=run,
                             capture_output=True, text=True, timeout=1200)
        if out.returncode != 0:
            raise RuntimeError("the loop run failed: %s" % out.stderr[-2000:])
        return json.loads(out.stdout.splitlines()[-1])

    def reference(lines, with_package=False):
        """The adb lines in sequence; with_package adds the package check and unpacking the
        program does between the base information and the first push, done with md5sum and
        unzip, after the same start-up cleaning (everything but the package removed)."""
        script = os.path.join(work, "commands.sh")
        package = None
        if with_package:
            for name in os.listdir(package_folder):
                path = os.path.join(package_folder, name)
                if name.endswith(".zip"):
                    package = path
                elif os.path.isdir(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
            if package is None:
                raise RuntimeError("no package in %s" % package_folder)
        with open(script, "w") as f:
            f.write("#!/bin/sh\n")
            for c in lines:
                f.write(c + " >/dev/null 2>&1\n")
                if package and "cat /system/build.prop" in c:
                    f.write("md5sum '%s' >/dev/null || exit 3\n" % package)
                    f.write("unzip -q -o '%s' -d '%s' || exit 3\n" % (package, package_folder))
        return run_timed(["sh", script], env=dict(env, LD_PRELOAD=""), cwd=run)[:2]

    last_exit = [0]

    def rc_of(_):
        return last_exit[0]

    def reset_robot():
        """Takes the upgrade off the robot again, so that every run installs afresh."""
        plain = dict(env, LD_PRELOAD="")
        for apk in upgrade_scenario()["web"]["package"]["apks"]:
            subprocess.run([adb, "uninstall", apk["package"]], env=plain, capture_output=True,
                           timeout=30)
        subprocess.run([adb, "shell", "rm", "-rf", "/sdcard/actions"], env=plain,
                       capture_output=True, timeout=30)

    a, b, c, h, waits = [], [], [], [], []
    commands = []
    failures = []
    # One simulated robot for every run: it waits for the machine-wide lock on the adb ports,
    # which other work on this machine may hold for a while. The first, unmeasured, upgrade
    # leaves the robot in the state every measured run then starts from.
    ports = start_robot(state)
    try:
        os.makedirs(os.path.join(run, "config"), exist_ok=True)
        with open(os.path.join(run, "config", "config.json"), "w") as f:
            f.write('{"default_request_url": "http://127.0.0.1:%d"}\n' % ports["web"])
        def ours_retried():
            # A run that ends in a Failure box (seen now and then: one action file of 200 not
            # pushed, code 20022) is counted and run again.
            for attempt in range(5):
                try:
                    return ours()
                except RuntimeError as e:
                    failures.append(next((line for line in str(e).splitlines()
                                          if line.startswith("finish box")), str(e)[:200]))
                    if attempt == 4:
                        raise
                    reset_robot()

        ours_retried()
        for _ in range(ctx.upgrade_rounds):
            reset_robot()
            seconds, rss, commands, wait = ours_retried()
            a.append((seconds, rss))
            waits.append(wait)
            # The two ways of running the program side by side, after the same preparation.
            reset_robot()
            h.append(headless())
            reset_robot()
            b.append(reference(commands))
            reset_robot()
            c.append(reference(commands, with_package=True))
        reset_robot()
        handover = loop_handover(4)
    finally:
        stop_robot(state)
        shutil.rmtree(work, ignore_errors=True)
    print("   each run (s): ours %s; script %s; script with the package %s; headless %s"
          % tuple(" ".join("%.3f" % x[0] for x in runs) for runs in (a, b, c, h)), flush=True)
    print("   loop: plug to first adb command %s s; runs %s s" % (handover["latencies"], handover["seconds"]),
          flush=True)
    t_ours = median([x[0] for x in a])
    t_ref = median([x[0] for x in b])
    t_pkg = median([x[0] for x in c])
    wait = median(waits)
    ratio = (t_ours - wait) / t_ref
    ratio_pkg = (t_ours - wait) / t_pkg
    what = ("whole upgrade, 20 APKs and 200 action files, simulated robot (%d adb command lines)"
            % len(commands))
    ours_text = "%s click to finish box, %s after the prescribed waits" % (fmt_s(t_ours),
                                                                          fmt_s(t_ours - wait))
    rss = fmt_mib(max(x[1] for x in a))
    return [Row(what, ours_text, "shell script of the same adb lines: %s" % fmt_s(t_ref),
                "time %.2f x (waits subtracted: %.3f s)" % (ratio, wait), rss,
                "<= 1.1 x after the waits", ratio <= 1.1, note="; ".join(failures)),
            Row(what + ", the script also checking and unpacking the package", ours_text,
                "the same script with `md5sum` and `unzip -q -o` of the package after the"
                " base information: %s" % fmt_s(t_pkg),
                "time %.2f x (waits subtracted: %.3f s)" % (ratio_pkg, wait), rss,
                "<= 1.1 x after the waits", ratio_pkg <= 1.1),
            Row(what + ", `--headless --json`", "%s start to finish event" % fmt_s(median([x[0] for x in h])),
                "the dialog, click to finish box: %s" % fmt_s(t_ours),
                "time %.3f x" % (median([x[0] for x in h]) / t_ours), fmt_mib(max(x[1] for x in h)),
                "<= 1.02 x the dialog", median([x[0] for x in h]) <= 1.02 * t_ours),
            Row("`--loop`: from plugging the next robot to its first adb command (%d hand-overs)"
                % len(handover["latencies"]), "%s (largest %s)" % (fmt_s(median(handover["latencies"])),
                                                                  fmt_s(max(handover["latencies"]))),
                "no waits of the workflow come before it", "-", "-", "< 1 s",
                max(handover["latencies"]) < 1.0)]


def glob_logs(run):
    folder = os.path.join(run, "Log")
    if not os.path.isdir(folder):
        return []
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".log"))


def prescribed_waits(commands, log_text):
    """Seconds of fixed waiting the workflow itself prescribes in this run."""
    wait = 0.1  # between kill-server and start-server at the base information step
    wait += 0.3 * sum(1 for c in commands if " uninstall " in c)
    # (The 1 ms pause of the action push follows only a push that failed; a run with one fails.)
    if "read serialnum failure!" in log_text:
        wait += 5.0
    return wait


# ---------------------------------------------------------------------------------------------

BENCHES = {
    "download": bench_download,
    "https": bench_https,
    "md5": bench_md5,
    "signature": bench_signature,
    "unpack": bench_unpack,
    "session": bench_session,
    "startup": bench_startup,
    "upgrade": bench_upgrade,
}


class Context:
    def __init__(self, build, quick, rounds, tmp):
        self.build = build
        self.bin = os.path.join(build, "bench", "bin")
        self.dist = os.path.join(build, "dist")
        self.quick = quick
        self.rounds = rounds
        # The upgrade's times scatter more from run to run than the other rows': more pairs.
        self.upgrade_rounds = rounds if quick else max(rounds, 5)
        self.tmp = tmp

    def size(self, full, quick):
        return quick if self.quick else full


def machine():
    mem_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    cpu = platform.processor() or ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return os.cpu_count(), mem_kib, cpu


# How each benchmark's rows begin in results.md: a run of some keeps the rows of the others.
ROW_STARTS = {"download": "download of", "https": "HTTPS download of", "md5": "MD5 of",
              "signature": "signature check", "unpack": "unpacking", "session": "session:",
              "startup": "start-up", "upgrade": "whole upgrade"}


def carried_rows(path, names):
    """The table lines of an earlier results.md for the benchmarks not in `names`, by benchmark."""
    kept = {}
    with open(path) as f:
        for line in f:
            bench = next((n for n, start in ROW_STARTS.items() if line.startswith("| " + start)),
                         None)
            if bench and bench not in names:
                kept.setdefault(bench, []).append(line.rstrip("\n"))
    return kept


def write_results(path, rows, ctx, seconds, extra, kept=None):
    nproc, mem_kib, cpu = machine()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# Benchmark results",
        "",
        "Written by `scripts/bench`%s on %s%s." % (" --quick (small sizes)" if ctx.quick else "", now,
                                                  "; the rows of %s are kept from an earlier run"
                                                  % ", ".join(sorted(kept)) if kept else ""),
        "Machine: `nproc` %d, %.1f GiB memory, %s; shared with other work while measuring."
        % (nproc, mem_kib / 1024.0 / 1024.0, cpu),
        "Each pair ran %d times in A B A B alternation (the whole upgrade %d times, ours and"
        " its two scripts in turn); times are medians, ratios are of the medians: a throughput"
        " ratio is ours over the reference (higher is better), a time ratio ours over the"
        " reference (lower is better)." % (ctx.rounds, ctx.upgrade_rounds),
        "Peak RSS is the largest maximum resident set size (GNU `time`, `%%M`) of our process"
        " over its runs. Whole run: %.0f s." % seconds,
        "",
        "| benchmark | ours | reference | ratio | peak RSS of ours | goal | met |",
        "|---|---|---|---|---|---|---|",
    ]
    for bench in BENCHES:
        lines.extend((kept or {}).get(bench, []))
        for r in (r for r in rows if r.bench == bench):
            lines.append("| %s | %s | %s | %s | %s | %s | %s |"
                         % (r.what, r.ours, r.reference, r.ratio, r.rss, r.goal,
                            "yes" if r.met else "**no**"))
    lines.append("")
    for r in rows:
        if r.note:
            lines.append("Runs repeated in \"%s\": %s" % (r.what, r.note))
            lines.append("")
    lines.extend(extra)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=0)
    parser.add_argument("--only", default="")
    parser.add_argument("--out", default=os.path.join(SOURCE, "bench", "results.md"))
    parser.add_argument("--notes", default=os.path.join(SOURCE, "bench", "notes.md"))
    args = parser.parse_args()
    rounds = args.rounds or (2 if args.quick else 3)
    names = [n for n in args.only.split(",") if n] or list(BENCHES)
    started = time.time()
    rows = []
    with tempfile.TemporaryDirectory(prefix="zev-bench-", dir="/tmp") as tmp:
        os.chmod(tmp, 0o755)
        ctx = Context(os.path.abspath(args.build), args.quick, rounds, tmp)
        for name in names:
            print("== %s" % name, flush=True)
            t = time.time()
            result = BENCHES[name](ctx)
            for row in result if isinstance(result, list) else [result]:
                print("   %s | %s | %s | %s | %s | %s" % (row.what, row.ours, row.reference,
                      row.ratio, row.rss, "met" if row.met else "MISSED"), flush=True)
                row.bench = name
                rows.append(row)
            print("   (%.0f s)" % (time.time() - t), flush=True)
    extra = []
    if os.path.exists(args.notes):
        with open(args.notes) as f:
            extra = f.read().rstrip("\n").split("\n")
    kept = carried_rows(args.out, names) if args.only and os.path.exists(args.out) else {}
    write_results(args.out, rows, ctx, time.time() - started, extra, kept)
    print("wrote %s" % args.out)
    return 0 if all(r.met for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
