#!/usr/bin/env python3
"""The Windows launcher's window under Wine on a virtual display, against a real nginx.

The display is Xvfb composed by xcompmgr; screenshots come from the composed screen and the
pointer is driven by xdotool.

0. The display: a layered probe window of the launcher's size shows a known premultiplied
   picture; the screenshot must show it centred, its transparent corners showing the screen
   behind and its half-transparent band blended with it. Otherwise the launcher's pictures
   could not be judged.
1. The launcher's window appears centred on the screen at 1040 x 630, captioned
   "KestruneLands Updater".
2. Its idle and busy looks match the Qt window's reference pictures (tests/data/window, written
   by window_tests) outside the labels within a few levels for nearly every pixel; the labels,
   drawn by another font engine, only loosely. The pointer over Update, and a press
   on it, change that button.
3. A drag on the background moves the window by exactly the pointer's way.
4. Update starts a patch run (the busy look; nginx's log shows the downloads), slowed by
   nginx's limit_rate so that its bars stand still; Cancel ends it (its status text, the idle
   look); Update again, at full speed, brings the game folder to the release byte for byte.
5. Close ends the process with exit code 0.

The screenshots are kept in the folder --screenshots names. Everything started here is ended
however the test ends: the launcher, the prefix's wineserver, nginx, xcompmgr and Xvfb.
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from PIL import Image

import ScreenCompare
from VirtualDisplay import VirtualDisplay, missing_tools
from WineSupport import Nginx, Publisher, Wine, check, failures, files_below, free_port, \
    wait_for, win_path

CAPTION = "KestruneLands Updater"
SCREEN = (1280, 800)
SIZE = (1040, 630)
# Boxes (x, y, width, height) in the window.
STATUS = (90, 497, 417, 24)
TRANSFER = (140, 536, 364, 14)
FILE_BAR = (95, 529, 409, 4)
TOTAL_BAR = (95, 553, 409, 4)
UPDATE = (539, 524, 204, 38)
CANCEL = (759, 524, 204, 38)
CLOSE = (934, 77, 40, 60)
BAR_WIDTH = 409
# The busy look's bars, as the reference shows them: the file bar where nginx slows the big
# file down, the total bar with one of the two files done.
FILE_FRACTION = 0.62
# Outside the labels: how far a channel may be off, and for how many pixels of the window.
# Few: a bar 5 pixels short is 20 pixels (Wine's window, measured, is nowhere more than 1
# level off).
LEVELS = 6
STRAY_PIXELS = 16
# The status text, blurred, must be this much nearer to its own look's than to any other's.
# (Wine's GDI text against Qt's: about 1.3 times nearer, where the same text would be 1.0.)
TEXT_MARGIN = 1.1


def centre(box, origin=(0, 0)):
    x, y, w, h = box
    return origin[0] + x + w // 2, origin[1] + y + h // 2


class Look:
    """One reference picture and how a screenshot is held against it. Outside the labels it
    must match within LEVELS for nearly every pixel. The labels are drawn by another font
    engine than Qt's: the status text, blurred, must only be clearly nearer to this look's
    text than to any other look's, and the transfer line must be there exactly when the
    reference has one."""

    def __init__(self, name, picture, background, loose):
        self.name = name
        self.picture = picture
        self.background = background  # the window's background picture, without any text
        self.loose = loose
        self.rivals = []  # the other looks, whose status texts this one's must be told from

    def judge(self, shot, origin):
        """What differs between the window in `shot` at `origin` and this look: a list of
        texts, empty when it matches."""
        backdrop = shot.getpixel((2, 2))
        want = ScreenCompare.over(self.picture, backdrop)
        x, y = origin
        got = shot.crop((x, y, x + SIZE[0], y + SIZE[1]))
        difference = ScreenCompare.largest_channel_difference(got, want)
        strict = ScreenCompare.blank(difference, self.loose)
        stray = ScreenCompare.count_above(strict, LEVELS)
        problems = []
        if stray > STRAY_PIXELS:
            problems.append("%d pixels outside the labels are more than %d levels off"
                            % (stray, LEVELS))
        distances = {look.name: ScreenCompare.blurred_distance(
            got, ScreenCompare.over(look.picture, backdrop), STATUS)
            for look in [self] + self.rivals}
        own = distances.pop(self.name)
        if any(own * TEXT_MARGIN > rival for rival in distances.values()):
            problems.append("the status text is not clearly this look's: %.1f from it, %s"
                            % (own, ", ".join("%.1f from the %s one's" % (v, k)
                                              for k, v in distances.items())))
        plain = ScreenCompare.over(self.background, backdrop)
        want_ink = ScreenCompare.ink_columns(want, TRANSFER, plain)
        got_ink = ScreenCompare.ink_columns(got, TRANSFER, plain)
        if (want_ink is None) != (got_ink is None):
            problems.append("the transfer line is %s" % ("shown" if got_ink else "missing"))
        return problems


def wait_for_look(display, look, origin, seconds):
    """The last screenshot and what still differed (empty once it matched in time)."""
    shot, problems = None, ["no screenshot"]
    deadline = time.monotonic() + seconds
    while True:
        shot = display.screenshot()
        problems = look.judge(shot, origin)
        if not problems or time.monotonic() > deadline:
            return shot, problems
        time.sleep(0.25)


def save(shot, origin, folder, name):
    path = Path(folder) / name
    x, y = origin
    shot.crop((x, y, x + SIZE[0], y + SIZE[1])).save(path)
    print("screenshot: %s" % path)


def blend(colour, alpha, backdrop):
    """A premultiplied colour over an opaque backdrop, as the compositor draws it."""
    return tuple(c + (b * (255 - alpha) + 127) // 255 for c, b in zip(colour, backdrop))


def probe_pixel(x, y):
    """The probe's premultiplied picture (layered_probe.cpp) and its alpha."""
    edge = 40
    corner = (x < edge or x >= SIZE[0] - edge) and (y < edge or y >= SIZE[1] - edge)
    alpha = 0 if corner else 128 if y < edge else 255
    red = x * 255 // SIZE[0] * alpha // 255
    green = y * 255 // SIZE[1] * alpha // 255
    return (red, green, 100 * alpha // 255), alpha


def check_display(wine, display, probe, screenshots):
    print("the display, with the layered probe")
    process = wine.start(probe, [], out=subprocess.DEVNULL, err=subprocess.DEVNULL)
    try:
        window = display.find_window("Kestrune layered probe", 60)
        if not check(window is not None, "the probe's window did not appear"):
            return False
        origin = ((SCREEN[0] - SIZE[0]) // 2, (SCREEN[1] - SIZE[1]) // 2)
        check(display.geometry(window) == origin + SIZE,
              "the probe's window is at %s, not %s" % (display.geometry(window), origin + SIZE))

        def drawn():
            shot = display.screenshot()
            backdrop = shot.getpixel((2, 2))
            worst = 0
            for y in range(0, SIZE[1], 7):
                for x in range(0, SIZE[0], 7):
                    colour, alpha = probe_pixel(x, y)
                    want = blend(colour, alpha, backdrop)
                    got = shot.getpixel((origin[0] + x, origin[1] + y))
                    worst = max(worst, max(abs(a - b) for a, b in zip(got, want)))
            drawn.worst, drawn.shot = worst, shot
            return worst <= 2

        ok = check(wait_for(drawn, 20, step=0.25),
                   "the display does not show the probe's picture as composed over the screen "
                   "(a channel up to %d levels off)" % drawn.worst)
        # Over black a premultiplied picture shown as it is looks blended: only another
        # backdrop (xcompmgr paints the root grey) tells composition from none.
        backdrop = drawn.shot.getpixel((2, 2))
        ok = check(min(backdrop) >= 32,
                   "the screen behind the window is %s: not composed by xcompmgr" % (backdrop,)) \
            and ok
        save(drawn.shot, origin, screenshots, "probe.png")
        display.click(*centre((0, 0) + SIZE, origin))
        check(wait_for(lambda: process.poll() is not None, 20) and process.returncode == 0,
              "the probe did not end with 0 on a click: %s" % process.poll())
        return ok
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def make_release(release):
    rng = random.Random(17)
    files = {
        "readme.txt": b"Kestrune window test\r\n",
        "data/small.bin": rng.randbytes(40_000),
        "data/big.bin": rng.randbytes(8_000_000),
    }
    for name, data in files.items():
        (release / name).parent.mkdir(parents=True, exist_ok=True)
        (release / name).write_bytes(data)


def slow_big_file(lzma_size, switch):
    """nginx's server block for the big file: while the file `switch` exists, the first part
    at full speed, then a trickle, so that the file bar stands all but still."""
    return ("location ~ big\\.bin\\.lzma$ {\n"
            "      set $slow_after 0;\n      set $slow_rate 0;\n"
            "      if (-f %s) { set $slow_after %d; set $slow_rate 1500; }\n"
            "      limit_rate_after $slow_after;\n      limit_rate $slow_rate;\n    }"
            % (switch, int(lzma_size * FILE_FRACTION)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--launcher", required=True, help="the Windows launcher")
    parser.add_argument("--publish", required=True, help="kestrune-publish, Linux or .exe")
    parser.add_argument("--probe", required=True, help="the layered probe window")
    parser.add_argument("--references", required=True, help="the Qt window's pictures")
    parser.add_argument("--background", required=True, help="the window's background picture")
    parser.add_argument("--screenshots", required=True, help="where the screenshots go")
    parser.add_argument("--prefix", required=True, help="the Wine prefix of this test")
    args = parser.parse_args()
    # A time-out's SIGTERM ends the test through its clean-up like any failure.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("FAILED: ended by SIGTERM"))
    for name in ("wine_run", "launcher", "publish", "probe", "references", "background",
                 "screenshots", "prefix"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    missing = missing_tools()
    if missing:
        print("FAILED: missing display tools: %s (scripts/install-deps installs them)"
              % ", ".join(missing), file=sys.stderr)
        return 1
    Path(args.screenshots).mkdir(parents=True, exist_ok=True)
    references = Path(args.references)
    background = Image.open(args.background).convert("RGBA")
    loose = [STATUS, TRANSFER]

    def look(name, extra=()):
        return Look(name, Image.open(references / ("window-%s.png" % name)).convert("RGBA"),
                    background, loose + list(extra))

    idle = look("idle")
    # The file bar's end creeps on with the trickle, and a fractional width may be drawn
    # rounded either way.
    busy = look("busy", [(FILE_BAR[0] + int(BAR_WIDTH * FILE_FRACTION) - 3, FILE_BAR[1], 7,
                          FILE_BAR[3])])
    cancelled = look("cancelled")
    updated = look("updated")
    looks = [idle, busy, cancelled, updated]
    for one in looks:
        one.rivals = [other for other in looks if other is not one]

    wine = Wine(args.wine_run, args.prefix)
    # The prefix is made (on first use) and its registry changed with no display named, so
    # that nothing of Wine's own shows on the screen under test; the wineserver is then ended,
    # and the next one starts with the display.
    wine.env.pop("DISPLAY", None)
    wine.env.pop("WAYLAND_DISPLAY", None)
    tmp = Path(tempfile.mkdtemp(prefix="kestrune-window-"))
    # English texts, which the reference pictures show; the other values start over.
    native = not args.launcher.endswith(".exe")
    if native:
        # The build machine's own launcher (the Qt window), for trying this script out.
        values = tmp / "config" / "KestruneUpdaterPts" / "Settings" / "values.reg"
        values.parent.mkdir(parents=True)
        values.write_text('"Language"="1"\n')
    else:
        wine.run("reg", ["delete", "HKCU\\Software\\KestruneUpdaterPts", "/f"])
        wine.run("reg", ["add", "HKCU\\Software\\KestruneUpdaterPts\\Settings", "/v",
                         "Language", "/t", "REG_SZ", "/d", "1", "/f"])
    wine.stop_all()

    display = nginx = launcher_process = output = None
    log = open(tmp / "display.log", "wb")
    try:
        display = VirtualDisplay(*SCREEN, log=log)
        wine.env["DISPLAY"] = display.name
        print("virtual display %s" % display.name)
        if not check_display(wine, display, args.probe, args.screenshots):
            return 1

        release, www, game = tmp / "release", tmp / "www", tmp / "game"
        for folder in (release, www, game):
            folder.mkdir()
        make_release(release)
        publisher = Publisher(args.publish, wine)
        public_key, key = publisher.keygen(tmp)
        port = free_port()
        publisher.publish(release, www, "http://127.0.0.1:%d" % port, key)
        slow = tmp / "slow"
        slow.touch()
        big = next(www.rglob("big.bin.lzma"))
        nginx = Nginx(www, tmp / "nginx", port, slow_big_file(big.stat().st_size, slow),
                      access_log=True)

        # Up to date at the start: the start-up's run ends at once in the idle look.
        for name, data in files_below(release).items():
            (game / name).parent.mkdir(parents=True, exist_ok=True)
            (game / name).write_bytes(data)
        launcher = game / Path(args.launcher).name
        shutil.copy2(args.launcher, launcher)
        environment = {"KESTRUNE_SETTINGS_HOST": "127.0.0.1:%d" % nginx.port,
                       "KESTRUNE_PUBLIC_KEY": public_key}
        output = open(tmp / "launcher.log", "wb")
        if native:
            launcher_process = subprocess.Popen(
                [str(launcher)], cwd=game, stdin=subprocess.DEVNULL, stdout=output,
                stderr=subprocess.STDOUT, env=dict(wine.env, XDG_CONFIG_HOME=str(tmp / "config"),
                                                   **environment))
        else:
            launcher_process = wine.start(win_path(launcher), [], cwd=game,
                                          extra_env=environment, out=output,
                                          err=subprocess.STDOUT)

        print("1. the window appears")
        window = display.find_window(CAPTION, 60)
        if not check(window is not None, "no window captioned %r appeared" % CAPTION):
            return 1
        origin = ((SCREEN[0] - SIZE[0]) // 2, (SCREEN[1] - SIZE[1]) // 2)
        geometry = display.geometry(window)
        check(geometry == origin + SIZE,
              "the window is at %s, not centred at %s" % (geometry, origin + SIZE))

        print("2. the idle look")
        shot, problems = wait_for_look(display, idle, origin, 30)
        save(shot, origin, args.screenshots, "window-idle.png")
        check(not problems, "the idle window differs from the reference: " + "; ".join(problems))

        print("   the pointer over Update")
        display.move_pointer(*centre(UPDATE, origin))
        x, y, w, h = UPDATE
        area = (origin[0] + x, origin[1] + y, origin[0] + x + w, origin[1] + y + h)

        def changes_from(before):
            """A wait's predicate: the Update button looks other than in `before`."""
            def changed():
                changed.shot = display.screenshot()
                difference = ScreenCompare.largest_channel_difference(
                    changed.shot.crop(area), before.crop(area))
                return ScreenCompare.count_above(difference, 20) > w * h // 10
            return changed

        hovered = changes_from(shot)
        check(wait_for(hovered, 5, step=0.2),
              "the Update button does not change its look under the pointer")
        save(hovered.shot, origin, args.screenshots, "window-update-hover.png")
        # Clicks leave the pointer here, off the buttons: a button shown under it would show
        # its hover look.
        rest = centre((300, 300, 0, 0), origin)
        display.move_pointer(*rest)
        _, problems = wait_for_look(display, idle, origin, 5)
        check(not problems, "the Update button did not return to its resting look: "
              + "; ".join(problems))

        print("4. Update, slowed down")
        for name in ("data/small.bin", "data/big.bin"):
            (game / name).unlink()
        # Pressed and released by hand, so that the pressed look can be seen between.
        display.move_pointer(*centre(UPDATE, origin))
        wait_for(changes_from(shot), 5, step=0.2)  # the hover look, already checked
        hover = display.screenshot()
        display.press()
        pressed = changes_from(hover)
        check(wait_for(pressed, 5, step=0.2),
              "the Update button does not change its look when pressed")
        save(pressed.shot, origin, args.screenshots, "window-update-press.png")
        display.release()
        display.move_pointer(*rest)
        shot, problems = wait_for_look(display, busy, origin, 30)
        save(shot, origin, args.screenshots, "window-busy.png")
        check(not problems, "the busy window differs from the reference: " + "; ".join(problems))

        print("   Cancel")
        display.click(*centre(CANCEL, origin))
        display.move_pointer(*rest)
        shot, problems = wait_for_look(display, cancelled, origin, 30)
        save(shot, origin, args.screenshots, "window-cancelled.png")
        check(not problems, "the window after Cancel differs from the reference: "
              + "; ".join(problems))
        check(not (game / "data" / "big.bin").exists(), "the cancelled file was installed")
        # nginx logs a request once it has ended: the big file's with the Cancel.
        requests = nginx.requests()
        for name in ("small.bin.lzma", "big.bin.lzma"):
            check(any(r.startswith("GET ") and name in r for r in requests),
                  "nginx served no %s: %s" % (name, requests))

        print("   Update again, at full speed")
        slow.unlink()
        display.click(*centre(UPDATE, origin))
        display.move_pointer(*rest)
        expected = files_below(release)

        def updated_folder():
            # Read name by name: the run's temporaries come and go meanwhile.
            for name, data in expected.items():
                try:
                    if (game / name).read_bytes() != data:
                        return False
                except OSError:
                    return False
            return True

        check(wait_for(updated_folder, 60), "the game folder did not become the release")
        shot, problems = wait_for_look(display, updated, origin, 30)
        save(shot, origin, args.screenshots, "window-updated.png")
        check(not problems, "the window after the run differs from the reference: "
              + "; ".join(problems))
        extra = set(files_below(game)) - set(expected) - {launcher.name, "kestrune.lock"}
        check(not extra, "left in the game folder: %s" % sorted(extra))

        print("3. a drag on the background")
        grab = (origin[0] + 300, origin[1] + 300)
        display.move_pointer(*grab)
        display.press()
        for step in range(1, 4):
            display.move_pointer(grab[0] + 57 * step // 3, grab[1] + 31 * step // 3)
            time.sleep(0.1)
        display.release()
        moved = (origin[0] + 57, origin[1] + 31)
        check(wait_for(lambda: display.geometry(window)[:2] == moved, 5),
              "the window is at %s after the drag, not %s" % (display.geometry(window)[:2], moved))
        _, problems = wait_for_look(display, updated, moved, 10)
        check(not problems, "the moved window differs from the reference: " + "; ".join(problems))

        print("5. Close")
        display.click(*centre(CLOSE, moved))
        ended = wait_for(lambda: launcher_process.poll() is not None, 20)
        check(ended and launcher_process.returncode == 0,
              "Close did not end the launcher with 0: %s" % launcher_process.poll())
    finally:
        if output is not None:
            output.close()
        if launcher_process is not None and launcher_process.poll() is None:
            launcher_process.kill()
            launcher_process.wait()
        wine.stop_all()
        if nginx is not None:
            nginx.stop()
        if display is not None:
            display.stop()
        log.close()
        if failures:
            for name in ("launcher.log", "display.log"):
                if (tmp / name).exists():
                    print("---- %s:\n%s" % (name, (tmp / name).read_text(errors="replace")[-4000:]))
        shutil.rmtree(tmp, ignore_errors=True)

    if failures:
        print("%d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    print("the window passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
