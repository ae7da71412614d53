"""Throwaway database servers for the tests: a PostgreSQL and a MariaDB
instance in a temporary directory, reachable only through a Unix socket,
stopped and removed at the end of the run.

Each start function returns a server object or raises ServerUnavailable
with the reason; the test fixtures decide whether that skips or fails.
"""
import atexit
import glob
import importlib
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

START_TIMEOUT = 60
# initdb and mariadb-install-db take seconds; a hang must not stall the run.
INIT_TIMEOUT = 300


class ServerUnavailable(Exception):
    pass


def _run(cmd, **kw):
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=INIT_TIMEOUT, **kw)
    except subprocess.TimeoutExpired:
        raise ServerUnavailable(f"{os.path.basename(cmd[0])} did not finish within {INIT_TIMEOUT}s")
    if done.returncode != 0:
        raise ServerUnavailable(f"{os.path.basename(cmd[0])} failed: {done.stdout.strip()[-800:]}")


def _wait_until(connect, proc, log_path):
    deadline = time.monotonic() + START_TIMEOUT
    last = None
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise ServerUnavailable(f"server exited with {proc.returncode}: {_tail(log_path)}")
        try:
            return connect()
        except Exception as exc:  # not accepting connections yet
            last = exc
            time.sleep(0.2)
    raise ServerUnavailable(f"server did not accept connections within {START_TIMEOUT}s: {last}")


def _require_driver(module, package):
    # Checked before the server starts: without it no connection can succeed,
    # and waiting for one would only delay the report.
    try:
        importlib.import_module(module)
    except ImportError:
        raise ServerUnavailable(f"the Python driver {package} is not installed")


def _halt(proc, sig):
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _tail(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()[-800:]
    except OSError:
        return ""


class _Server:
    def __init__(self, base, proc):
        self.base = base
        self.proc = proc

    def stop(self, sig):
        _halt(self.proc, sig)
        shutil.rmtree(self.base, ignore_errors=True)


class Postgres(_Server):
    def connect(self, dbname="postgres", **kw):
        import psycopg

        return psycopg.connect(host=self.base, port=5432, user="postgres", dbname=dbname, **kw)

    def stop(self):
        super().stop(signal.SIGINT)  # fast shutdown


class MariaDB(_Server):
    def connect(self, **kw):
        import pymysql

        return pymysql.connect(unix_socket=self.socket, user="root", **kw)

    def stop(self):
        super().stop(signal.SIGTERM)


def _postgres_bin(name):
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if found:
        return found[-1]
    path = shutil.which(name)
    if not path:
        raise ServerUnavailable(f"PostgreSQL's {name} is not installed (Debian package postgresql)")
    return path


def start_postgres():
    """initdb and postgres refuse to run as root, so as root they run as the postgres user."""
    initdb, postgres = _postgres_bin("initdb"), _postgres_bin("postgres")
    _require_driver("psycopg", "psycopg")
    user = None
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            raise ServerUnavailable("running as root and there is no postgres user to run the server as")
        user = "postgres"
    base = tempfile.mkdtemp(prefix="qv-pg-")
    proc = None
    try:
        if user:
            shutil.chown(base, user=user)
        data = os.path.join(base, "data")
        # The postgres user may not be able to enter the caller's directory.
        _run([initdb, "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C", "--no-sync"],
             user=user, cwd=base)
        log = os.path.join(base, "server.log")
        with open(log, "w") as out:
            if user:
                shutil.chown(log, user=user)
            proc = subprocess.Popen(
                [postgres, "-D", data, "-k", base, "-p", "5432", "-c", "listen_addresses=",
                 "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"],
                stdout=out, stderr=subprocess.STDOUT, user=user, cwd=base, start_new_session=True)
        server = Postgres(base, proc)
        _wait_until(lambda: server.connect().close(), proc, log)
    except BaseException:
        if proc:
            _halt(proc, signal.SIGQUIT)  # immediate shutdown
        shutil.rmtree(base, ignore_errors=True)
        raise
    # Also when the run ends without tearing its fixtures down.
    atexit.register(server.stop)
    return server


def start_mariadb():
    install = shutil.which("mariadb-install-db") or shutil.which("mysql_install_db")
    daemon = shutil.which("mariadbd") or shutil.which("mysqld") or (
        "/usr/sbin/mariadbd" if os.path.exists("/usr/sbin/mariadbd") else None)
    if not install or not daemon:
        raise ServerUnavailable("MariaDB is not installed (Debian package mariadb-server)")
    _require_driver("pymysql", "PyMySQL")
    as_root = ["--user=root"] if os.geteuid() == 0 else []
    base = tempfile.mkdtemp(prefix="qv-my-")
    proc = None
    try:
        data = os.path.join(base, "data")
        _run([install, "--no-defaults", f"--datadir={data}", "--auth-root-authentication-method=normal",
              "--skip-test-db", *as_root])
        log = os.path.join(base, "server.log")
        socket = os.path.join(base, "mysql.sock")
        proc = subprocess.Popen(
            [daemon, "--no-defaults", f"--datadir={data}", f"--socket={socket}", "--skip-networking",
             f"--pid-file={os.path.join(base, 'mysqld.pid')}", f"--log-error={log}",
             "--innodb-buffer-pool-size=16M", "--innodb-log-file-size=8M", "--innodb-flush-log-at-trx-commit=0",
             # Byte-wise comparison, as on the other two engines, so that one
             # table of expected results serves all three.
             "--character-set-server=utf8mb4", "--collation-server=utf8mb4_bin", *as_root],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        server = MariaDB(base, proc)
        server.socket = socket
        _wait_until(lambda: server.connect().close(), proc, log)
    except BaseException:
        if proc:
            _halt(proc, signal.SIGKILL)
        shutil.rmtree(base, ignore_errors=True)
        raise
    atexit.register(server.stop)
    return server
