"""Comparing a screenshot of a window with a reference picture of it that has an alpha channel:
the reference is laid over the colour the screen shows behind the window first."""

from PIL import Image, ImageChops, ImageFilter


def over(reference, backdrop):
    """The RGBA `reference` as seen over an opaque `backdrop` colour (an RGB triple)."""
    below = Image.new("RGBA", reference.size, tuple(backdrop) + (255,))
    return Image.alpha_composite(below, reference.convert("RGBA")).convert("RGB")


def largest_channel_difference(a, b):
    """Per pixel, the largest of the three channels' absolute differences (mode "L")."""
    red, green, blue = ImageChops.difference(a.convert("RGB"), b.convert("RGB")).split()
    return ImageChops.lighter(ImageChops.lighter(red, green), blue)


def blank(image, boxes):
    """`image` with every (x, y, width, height) box filled with 0."""
    image = image.copy()
    for x, y, w, h in boxes:
        image.paste(0, (x, y, x + w, y + h))
    return image


def count_above(difference, levels):
    """How many pixels of a mode "L" difference are more than `levels` apart."""
    return sum(difference.histogram()[levels + 1:])


def mean(difference, box):
    x, y, w, h = box
    histogram = difference.crop((x, y, x + w, y + h)).histogram()
    return sum(level * n for level, n in enumerate(histogram)) / max(1, w * h)


def ink_columns(image, box, backdrop_image, levels=40):
    """The first and last column of `box` (relative to it) where `image` differs from
    `backdrop_image` by more than `levels` in some channel: the horizontal extent of a text
    drawn there. None when nothing is drawn."""
    x, y, w, h = box
    region = (x, y, x + w, y + h)
    difference = largest_channel_difference(image.crop(region), backdrop_image.crop(region))
    mask = difference.point(lambda v: 255 if v > levels else 0)
    bounds = mask.getbbox()
    return None if bounds is None else (bounds[0], bounds[2] - 1)


def blurred_distance(a, b, box, radius=3):
    """The mean largest-channel difference of `box` in `a` and `b` once both are blurred: small
    for the same text drawn in slightly different fonts."""
    x, y, w, h = box
    region = (x, y, x + w, y + h)
    blur = ImageFilter.BoxBlur(radius)
    difference = largest_channel_difference(a.crop(region).filter(blur),
                                             b.crop(region).filter(blur))
    return mean(difference, (0, 0, w, h))
