"""What the scripts that drive the Windows launcher under Wine share: the checks, Wine with
the test's own prefix, nginx on loopback, the publisher."""

import getpass
import grp
import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message, file=sys.stderr)
    return condition


def win_path(path):
    """A Linux path as Wine shows it, on drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wait_for(predicate, seconds, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def files_below(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in Path(folder).rglob("*") if p.is_file()}


def russian_locale(folder):
    """Environment entries for a ru_RU.UTF-8 locale, compiled into `folder` once; None when the
    system has no locale sources (the Debian package "locales")."""
    folder = Path(folder)
    if not (folder / "ru_RU.UTF-8").is_dir():
        folder.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", str(folder / "ru_RU.UTF-8")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if not (folder / "ru_RU.UTF-8").is_dir():
            print("NOTE: no ru_RU.UTF-8 locale (%s): the game folder's name stays ASCII"
                  % r.stderr.decode(errors="replace").strip(), file=sys.stderr)
            return None
    return {"LOCPATH": str(folder), "LC_ALL": "ru_RU.UTF-8"}


class Wine:
    def __init__(self, runner, prefix, locale=None):
        self.runner = runner
        self.prefix = Path(prefix)
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), **(locale or {"LC_ALL": "C.UTF-8"}))

    def start(self, program, args, cwd=None, extra_env=None, out=None, err=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.Popen([self.runner, program] + list(args), cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def run(self, program, args, cwd=None, extra_env=None, timeout=300):
        """Runs `program` to its end, not to the end of its output: what it starts (the script's
        cmd.exe) may hold the output open long after."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = self.start(program, args, cwd, extra_env, out, err)
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(process.args, code, out.read(), err.read())

    def stop_all(self):
        """Ends every process of this prefix (its wineserver and what it serves)."""
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def profile(self):
        # Wine sets USERPROFILE itself, to the prefix's folder of the Unix user.
        return self.prefix / "drive_c" / "users" / getpass.getuser()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx on a loopback port (a free one unless given) serving `root`; `server_extra` goes
    into its server block."""

    def __init__(self, root, folder, port=None, server_extra="", access_log=False):
        self.root = root
        self.folder = Path(folder)
        self.folder.mkdir(parents=True)
        self.access_log = self.folder / "access.log" if access_log else None
        self.port = port or free_port()
        self._write_config(server_extra)
        d = str(self.folder)
        self.process = subprocess.Popen(
            ["nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx did not come up: " + (self.folder / "error.log").read_text())

    def _write_config(self, server_extra):
        # nginx started by root hands its workers to an unprivileged user, who may not read
        # a folder below a private home: keep them as the caller.
        user = ""
        if os.getuid() == 0:
            user = "user %s %s;" % (getpass.getuser(), grp.getgrgid(os.getgid()).gr_name)
        d = str(self.folder)
        log = "access_log %s;" % self.access_log if self.access_log else "access_log off;"
        (self.folder / "nginx.conf").write_text(
            "%s\ndaemon off;\nmaster_process off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
            "events { worker_connections 64; }\nhttp {\n  %s\n"
            "  client_body_temp_path %s/body;\n  proxy_temp_path %s/proxy;\n"
            "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
            "  scgi_temp_path %s/scgi;\n  default_type application/octet-stream;\n"
            "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n    %s\n  }\n}\n"
            % (user, d, d, log, d, d, d, d, d, self.port, self.root, server_extra))

    def requests(self):
        """The request lines of the access log so far."""
        if not self.access_log or not self.access_log.exists():
            return []
        lines = []
        for line in self.access_log.read_text(errors="replace").splitlines():
            start = line.find('"')
            end = line.find('"', start + 1)
            if start >= 0 and end > start:
                lines.append(line[start + 1:end])
        return lines

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Publisher:
    """kestrune-publish, the build machine's own or the Windows one under Wine."""

    def __init__(self, program, wine):
        self.program = program
        self.wine = wine

    def _run(self, command):
        if self.program.endswith(".exe"):
            return self.wine.run(self.program,
                                 [win_path(a) if a.startswith("/") else a for a in command])
        return subprocess.run([self.program] + command, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)

    def keygen(self, folder):
        """A new unencrypted key pair in `folder`: the public key line and the secret key file."""
        pub, key = Path(folder) / "release.pub", Path(folder) / "release.key"
        r = self._run(["keygen", "--unencrypted", str(pub), str(key)])
        if r.returncode != 0:
            raise RuntimeError("keygen failed: " + r.stderr.decode())
        return pub.read_text().splitlines()[1], key

    def publish(self, release, www, base_url, key, extra=()):
        r = self._run([str(release), str(www), "--base-url", base_url, "--sign", str(key)]
                      + list(extra))
        if r.returncode != 0:
            raise RuntimeError("kestrune-publish failed: %s%s"
                               % (r.stdout.decode(), r.stderr.decode()))
