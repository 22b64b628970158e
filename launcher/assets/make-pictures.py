#!/usr/bin/env python3
"""Writes the launcher's pictures as SVG sources (svg/) and renders them to 8-bit RGBA PNGs
(pictures/) with rsvg-convert (Debian: librsvg2-bin). Run by hand after changing a look;
the build uses the committed PNGs."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SERIF = "Liberation Serif"
GOLD = "#e8c36a"

# Shared paint: gold frames, ember and stone fills. Ids are per file, so each picture
# carries the definitions it needs.
DEFS = """
<linearGradient id="gold" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#fff1b8"/><stop offset="0.45" stop-color="#d9a441"/>
  <stop offset="0.55" stop-color="#9c6a1e"/><stop offset="1" stop-color="#f2cf7a"/>
</linearGradient>
<linearGradient id="ember" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#9b2a16"/><stop offset="0.5" stop-color="#6d170b"/>
  <stop offset="1" stop-color="#3a0904"/>
</linearGradient>
<linearGradient id="emberHot" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#e2572a"/><stop offset="0.5" stop-color="#b33212"/>
  <stop offset="1" stop-color="#631407"/>
</linearGradient>
<linearGradient id="emberPress" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#2a0603"/><stop offset="0.6" stop-color="#571208"/>
  <stop offset="1" stop-color="#7a200d"/>
</linearGradient>
<linearGradient id="stone" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#5a5f6b"/><stop offset="1" stop-color="#262930"/>
</linearGradient>
<linearGradient id="slate" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#24344f"/><stop offset="1" stop-color="#0d1422"/>
</linearGradient>
<linearGradient id="slateHot" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#3f6aa3"/><stop offset="1" stop-color="#15243d"/>
</linearGradient>
<linearGradient id="slatePress" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#070b14"/><stop offset="1" stop-color="#1b2a44"/>
</linearGradient>
<linearGradient id="grey" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#8c8c8c"/><stop offset="0.5" stop-color="#5b5b5b"/>
  <stop offset="1" stop-color="#9a9a9a"/>
</linearGradient>
<filter id="glow" x="-30%" y="-30%" width="160%" height="160%">
  <feGaussianBlur stdDeviation="3"/>
</filter>
"""

# Fill, text colour and glow of each look of a button.
LOOKS = {
    "normal": ("ember", "slate", "#f6dc97", None),
    "hover": ("emberHot", "slateHot", "#fffbe8", "#ffb347"),
    "press": ("emberPress", "slatePress", "#c9a35a", None),
    "disabled": ("stone", "stone", "#a3a3a3", None),
}


def svg(w, h, body):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" '
            f'viewBox="0 0 {w} {h}"><defs>{DEFS}</defs>{body}</svg>\n')


def big_button(w, h, label, look, x=0, y=0):
    """Start: a wide plate with cut corners, a gold frame and engraved letters."""
    fill, _, ink, glow = LOOKS[look]
    frame = "grey" if look == "disabled" else "gold"
    c = 14
    pts = lambda i: (f"{x+c+i},{y+i} {x+w-c-i},{y+i} {x+w-i},{y+h/2} {x+w-c-i},{y+h-i} "
                     f"{x+c+i},{y+h-i} {x+i},{y+h/2}")
    out = ""
    if glow:
        out += f'<polygon points="{pts(4)}" fill="{glow}" opacity="0.8" filter="url(#glow)"/>'
    out += f'<polygon points="{pts(1)}" fill="url(#{frame})"/>'
    out += f'<polygon points="{pts(5)}" fill="url(#{fill})"/>'
    out += (f'<polygon points="{pts(8)}" fill="none" stroke="url(#{frame})" stroke-width="1" '
            'opacity="0.7"/>')
    dy = 2 if look == "press" else 0
    out += (f'<text x="{x+w/2}" y="{y+h/2+11+dy}" text-anchor="middle" font-family="{SERIF}" '
            f'font-weight="bold" font-size="30" letter-spacing="6" fill="#000" opacity="0.6">'
            f'{label}</text>')
    out += (f'<text x="{x+w/2}" y="{y+h/2+9+dy}" text-anchor="middle" font-family="{SERIF}" '
            f'font-weight="bold" font-size="30" letter-spacing="6" fill="{ink}">{label}</text>')
    return out


def small_button(w, h, label, look, x=0, y=0):
    """Update and Cancel: a slim slate plate with a gold rim."""
    _, fill, ink, glow = LOOKS[look]
    r = 6
    out = ""
    if glow:
        out += (f'<rect x="{x+3}" y="{y+3}" width="{w-6}" height="{h-6}" rx="{r}" fill="{glow}" '
                'opacity="0.6" filter="url(#glow)"/>')
    out += (f'<rect x="{x+1}" y="{y+1}" width="{w-2}" height="{h-2}" rx="{r}" '
            'fill="url(#gold)"/>')
    out += (f'<rect x="{x+3}" y="{y+3}" width="{w-6}" height="{h-6}" rx="{r-2}" '
            f'fill="url(#{fill})"/>')
    dy = 1 if look == "press" else 0
    out += (f'<text x="{x+w/2}" y="{y+h/2+6+dy}" text-anchor="middle" font-family="{SERIF}" '
            f'font-weight="bold" font-size="17" letter-spacing="3" fill="{ink}">{label}</text>')
    return out


def socket(w, h, x, y):
    """The sunken place of a hidden Update or Cancel button; the button covers it exactly."""
    r = 6
    out = (f'<rect x="{x+1.5}" y="{y+1.5}" width="{w-3}" height="{h-3}" rx="{r-0.5}" '
           'fill="url(#socket)" stroke="#6e5424" stroke-width="1"/>')
    # Light from above: a shadow under the upper lip, a glint on the lower one.
    out += (f'<path d="M{x+7} {y+3.5} H{x+w-7}" stroke="#000" stroke-width="2" '
            'opacity="0.8"/>')
    out += (f'<path d="M{x+8} {y+h-3} H{x+w-8}" stroke="#d9a441" stroke-width="1" '
            'opacity="0.35"/>')
    return out


ICONS = {
    # 40 x 60 banners: a glyph on a pennant.
    "site": '<circle cx="20" cy="25" r="9" fill="none" stroke="{ink}" stroke-width="2"/>'
            '<ellipse cx="20" cy="25" rx="4" ry="9" fill="none" stroke="{ink}" stroke-width="1.5"/>'
            '<line x1="11" y1="25" x2="29" y2="25" stroke="{ink}" stroke-width="1.5"/>',
    "forum": '<path d="M10 18 h20 a3 3 0 0 1 3 3 v9 a3 3 0 0 1 -3 3 h-11 l-6 5 v-5 h-3 '
             'a3 3 0 0 1 -3 -3 v-9 a3 3 0 0 1 3 -3 z" fill="none" stroke="{ink}" '
             'stroke-width="2"/>',
    "minimize": '<line x1="12" y1="30" x2="28" y2="30" stroke="{ink}" stroke-width="3" '
                'stroke-linecap="round"/>',
    "close": '<path d="M13 18 L27 32 M27 18 L13 32" stroke="{ink}" stroke-width="3" '
             'stroke-linecap="round"/>',
}


def banner(icon, look, x=0, y=0):
    _, fill, ink, glow = LOOKS[look]
    path = "M3 1 H37 V46 L20 58 L3 46 Z"
    out = f'<g transform="translate({x},{y})">'
    if glow:
        out += f'<path d="{path}" fill="{glow}" opacity="0.7" filter="url(#glow)"/>'
    out += f'<path d="{path}" fill="url(#gold)"/>'
    out += f'<path d="M5 3 H35 V45 L20 55.5 L5 45 Z" fill="url(#{fill})"/>'
    out += ICONS[icon].format(ink=ink)
    out += "</g>"
    return out


def background():
    W, H, top = 1040, 630, 60
    body = """
<filter id="grain" x="0" y="0" width="100%" height="100%">
  <feTurbulence type="fractalNoise" baseFrequency="0.9" numOctaves="3" seed="7"/>
  <feColorMatrix type="matrix" values="0 0 0 0 0.55  0 0 0 0 0.45  0 0 0 0 0.3  0 0 0 0.16 0"/>
  <feComposite in2="SourceGraphic" operator="in"/>
</filter>
<filter id="clouds" x="0" y="0" width="100%" height="100%">
  <feTurbulence type="fractalNoise" baseFrequency="0.004 0.012" numOctaves="4" seed="3"/>
  <feColorMatrix type="matrix" values="0 0 0 0 0.45  0 0 0 0 0.55  0 0 0 0 0.8  0 0 0 0.5 -0.12"/>
  <feComposite in2="SourceGraphic" operator="in"/>
</filter>
<radialGradient id="sky" cx="0.5" cy="0.35" r="0.75">
  <stop offset="0" stop-color="#2b3d63"/><stop offset="0.55" stop-color="#121a2e"/>
  <stop offset="1" stop-color="#06080f"/>
</radialGradient>
<radialGradient id="moon" cx="0.5" cy="0.5" r="0.5">
  <stop offset="0" stop-color="#fff6d8"/><stop offset="0.7" stop-color="#f1d994"/>
  <stop offset="1" stop-color="#f1d994" stop-opacity="0"/>
</radialGradient>
<radialGradient id="halo" cx="0.5" cy="0.5" r="0.5">
  <stop offset="0" stop-color="#f7d98a" stop-opacity="0.35"/>
  <stop offset="1" stop-color="#f7d98a" stop-opacity="0"/>
</radialGradient>
<linearGradient id="deck" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#0b0d14" stop-opacity="0.55"/>
  <stop offset="1" stop-color="#050609" stop-opacity="0.95"/>
</linearGradient>
<linearGradient id="far" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#3a4d72"/><stop offset="1" stop-color="#141d31"/>
</linearGradient>
<linearGradient id="mid" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#223150"/><stop offset="1" stop-color="#0c1322"/>
</linearGradient>
<linearGradient id="mist" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#8aa2c8" stop-opacity="0"/>
  <stop offset="0.6" stop-color="#8aa2c8" stop-opacity="0.18"/>
  <stop offset="1" stop-color="#8aa2c8" stop-opacity="0"/>
</linearGradient>
<clipPath id="panel"><rect x="20" y="60" width="1000" height="550" rx="34"/></clipPath>
<linearGradient id="socket" x1="0" y1="0" x2="0" y2="1">
  <stop offset="0" stop-color="#010204"/><stop offset="0.7" stop-color="#0b0e15"/>
  <stop offset="1" stop-color="#171b25"/>
</linearGradient>
"""
    body = f"<defs>{body}</defs>"
    panel = 'x="20" y="60" width="1000" height="550" rx="34"'
    body += f'<g clip-path="url(#panel)">'
    body += f'<rect {panel} fill="url(#sky)"/>'
    body += f'<rect {panel} fill="#fff" filter="url(#clouds)"/>'
    # Stars, the same every run.
    seed = 12345
    for _ in range(90):
        seed = (seed * 1103515245 + 12345) % 2**31
        x = 30 + seed % 980
        seed = (seed * 1103515245 + 12345) % 2**31
        y = 70 + seed % 230
        seed = (seed * 1103515245 + 12345) % 2**31
        r = 0.5 + (seed % 100) / 100
        body += f'<circle cx="{x}" cy="{y}" r="{r:.2f}" fill="#fff8e0" opacity="{0.3 + r / 3:.2f}"/>'
    body += '<circle cx="760" cy="190" r="140" fill="url(#halo)"/>'
    body += '<circle cx="760" cy="190" r="46" fill="url(#moon)"/>'
    # Three ranges of mountains, far to near.
    body += ('<path d="M20 380 L120 300 L190 340 L300 250 L380 310 L470 230 L560 300 L650 260 '
             'L760 320 L850 270 L950 330 L1020 290 V610 H20 Z" fill="url(#far)"/>')
    # Snow on the far peaks.
    for px, py in ((300, 250), (470, 230), (650, 260), (850, 270)):
        body += (f'<path d="M{px} {py} L{px-18} {py+14} L{px-8} {py+10} L{px} {py+18} '
                 f'L{px+9} {py+9} L{px+20} {py+16} Z" fill="#c9d6ee" opacity="0.55"/>')
    body += '<rect x="20" y="300" width="1000" height="120" fill="url(#mist)"/>'
    body += ('<path d="M20 420 L90 380 L170 410 L260 340 L340 395 L430 350 L520 410 L610 360 '
             'L700 405 L800 350 L900 400 L1020 360 V610 H20 Z" fill="url(#mid)"/>')
    # A keep on the near ridge.
    body += ('<path d="M160 430 V360 h10 v-8 h8 v8 h10 v-8 h8 v8 h10 v70 Z M174 430 V396 '
             'h22 v34 Z" fill="#0a101c"/><rect x="178" y="372" width="5" height="10" '
             'fill="#f2b45a" opacity="0.9"/>')
    body += ('<path d="M20 460 L140 430 L260 452 L380 420 L520 455 L660 425 L800 452 L920 428 '
             'L1020 445 V610 H20 Z" fill="#080c15"/>')
    body += f'<rect {panel} fill="#fff" filter="url(#grain)"/>'
    # The deck under the controls.
    body += '<rect x="20" y="482" width="1000" height="128" fill="url(#deck)"/>'
    body += '<rect x="20" y="482" width="1000" height="1.5" fill="url(#gold)" opacity="0.7"/>'
    body += "</g>"
    # Frame.
    body += f'<rect {panel} fill="none" stroke="url(#gold)" stroke-width="4"/>'
    body += ('<rect x="28" y="68" width="984" height="534" rx="28" fill="none" '
             'stroke="#d9a441" stroke-width="1" opacity="0.5"/>')
    # Title plaque.
    body += ('<path d="M330 150 Q520 118 710 150 L690 210 Q520 186 350 210 Z" fill="#000" '
             'opacity="0.35"/>')
    body += (f'<text x="520" y="190" text-anchor="middle" font-family="{SERIF}" '
             'font-weight="bold" font-size="54" letter-spacing="8" fill="#000" opacity="0.7">'
             'KESTRUNE</text>')
    body += (f'<text x="520" y="187" text-anchor="middle" font-family="{SERIF}" '
             'font-weight="bold" font-size="54" letter-spacing="8" fill="url(#gold)" '
             'stroke="#5a3b0c" stroke-width="1">KESTRUNE</text>')
    body += (f'<text x="520" y="222" text-anchor="middle" font-family="{SERIF}" '
             f'font-style="italic" font-size="22" letter-spacing="12" fill="{GOLD}">'
             'LANDS</text>')
    for x1, x2 in ((378, 446), (594, 662)):
        body += (f'<line x1="{x1}" y1="215" x2="{x2}" y2="215" stroke="{GOLD}" '
                 'stroke-width="1.2" opacity="0.8"/>')
    for cx in (446, 594):
        body += (f'<path d="M{cx} 211 l4 4 l-4 4 l-4 -4 z" fill="{GOLD}"/>')
    # Play rests here; Update and Cancel have pictures of their own, and only one of them is
    # shown at a time, so their places are empty sockets.
    body += big_button(361, 64, "PLAY", "normal", 346, 411)
    body += socket(204, 38, 539, 524)
    body += socket(204, 38, 759, 524)
    for icon, x in (("site", 62), ("forum", 112), ("minimize", 884), ("close", 934)):
        body += banner(icon, "normal", x, 77)
    for y in (529, 553):
        body += (f'<rect x="93" y="{y-2}" width="413" height="8" rx="3" fill="#000" '
                 'stroke="#8a6a2e" stroke-width="1"/>')
        body += f'<rect x="95" y="{y}" width="409" height="4" fill="#1b1f2a"/>'
    body += ('<text x="95" y="548" font-family="Liberation Sans" font-size="10" '
             'fill="#8a7a5a">FILE</text>')
    body += ('<text x="95" y="572" font-family="Liberation Sans" font-size="10" '
             'fill="#8a7a5a">TOTAL</text>')
    return svg(W, H, body)


def bar_fill():
    # 17 stripes over 409 pixels, so the picture tiles without a seam.
    step = 409 / 17
    body = ('<linearGradient id="fire" x1="0" y1="0" x2="0" y2="1">'
            '<stop offset="0" stop-color="#fff3b0"/><stop offset="0.5" stop-color="#f0a030"/>'
            '<stop offset="1" stop-color="#b85a10"/></linearGradient>')
    body = f"<defs>{body}</defs>"
    # The soft lower edge also keeps the picture's alpha channel.
    body += '<rect width="409" height="3" fill="url(#fire)"/>'
    body += '<rect y="3" width="409" height="1" fill="#b85a10" opacity="0.7"/>'
    for i in range(17):
        body += (f'<rect x="{i*step:.3f}" y="0" width="{step/3:.3f}" height="4" fill="#fff" '
                 'opacity="0.25"/>')
    return svg(409, 4, body)


def app_icon():
    """The taskbar icon: the title's K on an ember plate in a gold frame."""
    n = 256
    body = (f'<rect x="8" y="8" width="{n-16}" height="{n-16}" rx="44" fill="url(#gold)"/>'
            f'<rect x="20" y="20" width="{n-40}" height="{n-40}" rx="34" fill="url(#ember)"/>'
            f'<rect x="30" y="30" width="{n-60}" height="{n-60}" rx="26" fill="none" '
            'stroke="url(#gold)" stroke-width="3" opacity="0.7"/>'
            f'<text x="{n/2}" y="{n/2+62}" text-anchor="middle" font-family="{SERIF}" '
            'font-weight="bold" font-size="176" fill="#000" opacity="0.55">K</text>'
            f'<text x="{n/2}" y="{n/2+56}" text-anchor="middle" font-family="{SERIF}" '
            'font-weight="bold" font-size="176" fill="url(#gold)" stroke="#5a3b0c" '
            'stroke-width="2">K</text>')
    return svg(n, n, body)


def pictures():
    yield "background", background()
    yield "start-hover", svg(361, 64, big_button(361, 64, "PLAY", "hover"))
    yield "start-press", svg(361, 64, big_button(361, 64, "PLAY", "press"))
    yield "start-disabled", svg(361, 64, big_button(361, 64, "PLAY", "disabled"))
    for name in ("update", "cancel"):
        for look in ("normal", "hover", "press"):
            yield f"{name}-{look}", svg(204, 38, small_button(204, 38, name.upper(), look))
    for icon in ("site", "forum", "minimize", "close"):
        yield f"{icon}-hover", svg(40, 60, banner(icon, "hover"))
    yield "bar-fill", bar_fill()
    yield "icon", app_icon()


def main():
    os.makedirs(os.path.join(HERE, "svg"), exist_ok=True)
    os.makedirs(os.path.join(HERE, "pictures"), exist_ok=True)
    for name, text in pictures():
        source = os.path.join(HERE, "svg", name + ".svg")
        with open(source, "w") as f:
            f.write(text)
        subprocess.run(["rsvg-convert", "--format=png", "-o",
                        os.path.join(HERE, "pictures", name + ".png"), source], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
