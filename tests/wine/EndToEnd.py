#!/usr/bin/env python3
"""The Windows launcher end to end under Wine, against a real nginx on loopback.

1. A patch run: the console launcher, started in a game folder with a Cyrillic name and a
   blank in it, brings the folder up to date with a release made by kestrune-publish
   (one file missing, one outdated, one up to date, a Cyrillic folder and file name), byte
   for byte.
2. A self-update: the settings announce version 2 and a stand-in launcher (the platform probe,
   which records where and how it was started); the launcher downloads it, writes
   Installer.cmd in code page 866 and hands over; Wine's cmd.exe runs the script, which moves
   the stand-in over the launcher and starts it in the game folder.

Wine runs with a Russian locale, so that its OEM code page is 866 as on a Russian Windows
(the one the script's bytes are meant for) and Unix names in UTF-8 reach it whole; the locale
is compiled here with localedef when the system has none. The prefix is this test's own: the
launcher's registry values start over each run.
"""

import argparse
import os
import random
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path

from WineSupport import Nginx, Publisher, Wine, check, failures, files_below, russian_locale, \
    wait_for, win_path


def make_release(release):
    rng = random.Random(16)
    files = {
        "readme.txt": b"Kestrune test release\r\n",
        "system/client.ini": b"[video]\r\nwidth=1024\r\nheight=768\r\nversion=2\r\n",
        "data/sounds/bell.wav": rng.randbytes(300_000),
        "data/Карты/Остров Ёж.map": rng.randbytes(50_000),
    }
    for name, data in files.items():
        (release / name).parent.mkdir(parents=True, exist_ok=True)
        (release / name).write_bytes(data)


def end_leftover_scripts(prefix):
    """Ends the cmd.exe still running Installer.cmd in this test's prefix (where nothing else
    starts one), by its process id.

    Windows' cmd stops with "The batch file cannot be found." once the script has deleted
    itself; Wine's keeps reading the lines after and waits for ever at the hidden "pause"."""
    ended = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes()
            environment = (entry / "environ").read_bytes()
        except OSError:
            continue
        # Wine may show the process as cmd.exe alone, without its arguments.
        if b"installer.cmd" not in command.lower() and b"cmd.exe" not in command.lower():
            continue
        if ("WINEPREFIX=" + str(prefix)).encode() + b"\0" not in environment:
            continue
        try:
            os.kill(int(entry.name), signal.SIGKILL)
            ended.append(int(entry.name))
        except OSError:
            pass
    return ended


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--launcher", required=True, help="the Windows console launcher")
    parser.add_argument("--publish", required=True, help="kestrune-publish, Linux or .exe")
    parser.add_argument("--timeout", required=True, help="the timeout.exe stand-in")
    parser.add_argument("--stand-in", required=True, help="the new launcher to install")
    parser.add_argument("--prefix", required=True, help="the Wine prefix of this test")
    args = parser.parse_args()
    for name in ("wine_run", "launcher", "publish", "timeout", "stand_in", "prefix"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    locale = russian_locale(Path(args.prefix).parent / "locales")
    wine = Wine(args.wine_run, args.prefix, locale)
    # Made on first use; the launcher's per-user values (the highest release serial accepted
    # among them) start over, since every run publishes afresh.
    wine.run("reg", ["delete", "HKCU\\Software\\KestruneUpdaterPts", "/f"])
    system32 = wine.prefix / "drive_c" / "windows" / "system32"
    # Wine has no timeout.exe, which every Windows has and the script calls; a stand-in of
    # the project's takes its place, found on the PATH as the real one would be.
    shutil.copyfile(args.timeout, system32 / "timeout.exe")
    profile = wine.profile()
    for name in ("KestruneUpdater.exe", "Installer.cmd"):
        (profile / name).unlink(missing_ok=True)

    tmp = Path(tempfile.mkdtemp(prefix="kestrune-wine-"))
    nginx = None
    try:
        release, www = tmp / "release", tmp / "www"
        game = tmp / ("Игра с пробелом" if locale else "Game folder")
        for folder in (release, www, game):
            folder.mkdir()
        make_release(release)
        publisher = Publisher(args.publish, wine)
        public_key, key = publisher.keygen(tmp)
        nginx = Nginx(www, tmp / "nginx")
        base_url = "http://127.0.0.1:%d" % nginx.port
        publisher.publish(release, www, base_url, key)

        # The game folder: data/ missing, system/client.ini outdated, readme.txt up to date.
        shutil.copyfile(release / "readme.txt", game / "readme.txt")
        (game / "system").mkdir()
        (game / "system" / "client.ini").write_bytes(b"[video]\r\nwidth=640\r\nversion=1\r\n")
        launcher = game / "KestruneUpdater.exe"
        shutil.copyfile(args.launcher, launcher)
        environment = {"KESTRUNE_HEADLESS": "1",
                       "KESTRUNE_SETTINGS_HOST": "127.0.0.1:%d" % nginx.port,
                       "KESTRUNE_PUBLIC_KEY": public_key}

        print("patch run in " + win_path(game))
        r = wine.run(win_path(launcher), [], cwd=game, extra_env=environment)
        check(r.returncode == 0, "the patch run ended with %d:\n%s%s"
              % (r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")))
        expected = files_below(release)
        seen = files_below(game)
        for name, data in expected.items():
            check(seen.get(name) == data, "%s differs from the release" % name)
        extra = set(seen) - set(expected) - {"KestruneUpdater.exe", "kestrune.lock"}
        check(not extra, "left in the game folder: %s" % sorted(extra))

        print("self-update")
        stand_in = tmp / "new-launcher.exe"
        shutil.copyfile(args.stand_in, stand_in)
        publisher.publish(release, www, base_url, key,
                          ["--version", "2", "--updater", str(stand_in)])
        marker = tmp / "started"
        environment.update(KESTRUNE_PROBE="record", KESTRUNE_PROBE_OUT=win_path(marker))
        r = wine.run(win_path(launcher), [], cwd=game, extra_env=environment)
        handed_over = time.monotonic()
        out = r.stdout.decode(errors="replace")
        check(r.returncode == 0, "the self-update run ended with %d:\n%s%s"
              % (r.returncode, out, r.stderr.decode(errors="replace")))
        check("The program restart now." in out, "no restart message in:\n" + out)
        # The script waits two seconds before it moves anything: time to read what it says.
        script = profile / "Installer.cmd"
        if check(script.exists(), "no Installer.cmd in the profile folder"):
            lines = script.read_bytes().split(b"\r\n")
            old = (win_path(game) + "\\KestruneUpdater.exe").encode("cp866", "replace")
            check(len(lines) == 8 and lines[-1] == b"" and b'"' + old + b'"' in lines[2],
                  "Installer.cmd is not the script in code page 866: %r" % lines)
        if check(wait_for(marker.exists, 60), "the new launcher was not started"):
            # The script's two waits (2 s and 1 s) come before the start: without a timeout.exe
            # they would pass at once, and a launcher slow to end would keep its file.
            check(time.monotonic() - handed_over > 2.5,
                  "the new launcher started before the script's waits were over")
            record = marker.read_text(encoding="utf-8")
            print("the new launcher recorded:\n" + record)
            check("cwd=" + win_path(game) + "\n" in record,
                  "the new launcher did not start in the game folder:\n" + record)
        check(launcher.read_bytes() == stand_in.read_bytes(),
              "the new launcher was not moved over the old one")
        check(not (profile / "KestruneUpdater.exe").exists(),
              "the downloaded launcher is still in the profile folder")
        check(wait_for(lambda: not (profile / "Installer.cmd").exists(), 20),
              "Installer.cmd did not delete itself")
        # The script has done all it is for once it has deleted itself.
        ended = end_leftover_scripts(wine.prefix)
        print("ended the script's leftover cmd.exe: %s" % (ended or "none left"))
    finally:
        end_leftover_scripts(wine.prefix)
        if nginx is not None:
            nginx.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    if failures:
        print("%d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    print("the patch run and the self-update passed under Wine")
    return 0


if __name__ == "__main__":
    sys.exit(main())
