#!/usr/bin/python3
"""Draws folder.ico from folder-icon.json.

Each size is rendered from the vector shapes at eight times its size and averaged down by
boxes of 8 x 8 pixels, so edges get partial alpha instead of steps, and what lies outside every
shape stays fully transparent (a filter with negative lobes would leave faint alpha there). The
icon holds 16, 24, 32 and 48 pixels as 32-bit bottom-up bitmaps with alpha (what every version
of the shell reads) and 256 pixels as PNG (which keeps the file small). The result is
committed; the build never runs this script.

Usage: make_icon.py [OUTPUT]   (default: folder.ico beside this script; regenerate.sh installs
Pillow and runs it)
"""

import io
import json
import struct
import sys
from pathlib import Path

from PIL import Image, ImageDraw

HERE = Path(__file__).resolve().parent
BITMAP_SIZES = (16, 24, 32, 48)
PNG_SIZE = 256
OVERSAMPLING = 8


def gradient(size, box, top, bottom):
    """An RGBA image of `size` whose rows inside `box` go from `top` to `bottom`."""
    image = Image.new("RGBA", size)
    draw = ImageDraw.Draw(image)
    y0, y1 = int(box[1]), int(box[3])
    span = max(y1 - y0, 1)
    for y in range(y0, y1 + 1):
        t = (y - y0) / span
        colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
        draw.line([(0, y), (size[0], y)], fill=colour)
    return image


def shape_mask(shape, size, scale):
    """The shape's coverage as an 8-bit mask at `scale` pixels per canvas unit."""
    mask = Image.new("L", size, 0)
    draw = ImageDraw.Draw(mask)
    if shape["kind"] == "polygon":
        draw.polygon([(x * scale, y * scale) for x, y in shape["points"]], fill=255)
        ys = [y * scale for _, y in shape["points"]]
        box = (0, min(ys), 0, max(ys))
    else:
        box = tuple(v * scale for v in shape["box"])
        if shape["kind"] == "rounded_rectangle":
            draw.rounded_rectangle(box, radius=shape["radius"] * scale, fill=255)
        elif shape["kind"] == "ellipse":
            draw.ellipse(box, fill=255)
        else:
            raise ValueError("unknown shape kind: " + shape["kind"])
    return mask, box


def render(source, pixels):
    """The icon at `pixels` x `pixels`, RGBA."""
    big = pixels * OVERSAMPLING
    scale = big / source["canvas"]
    image = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    for shape in source["shapes"]:
        mask, box = shape_mask(shape, image.size, scale)
        fill = gradient(image.size, box, shape["top"], shape["bottom"])
        layer = Image.new("RGBA", image.size, (0, 0, 0, 0))
        layer.paste(fill, (0, 0), mask)
        image = Image.alpha_composite(image, layer)
    return image.reduce(OVERSAMPLING)


def bitmap_entry(image):
    """A 32-bit BI_RGB DIB: header, BGRA rows bottom-up, then the 1-bit AND mask (all zero: the
    alpha channel decides), whose rows are padded to four bytes."""
    width, height = image.size
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = image.load()
    rows = bytearray()
    for y in reversed(range(height)):
        for x in range(width):
            r, g, b, a = pixels[x, y]
            rows += bytes((b, g, r, a))
    mask_row = ((width + 31) // 32) * 4
    return header + bytes(rows) + bytes(mask_row * height)


def png_entry(image):
    out = io.BytesIO()
    image.save(out, format="PNG", optimize=True)
    return out.getvalue()


def icon_file(source):
    entries = [(size, bitmap_entry(render(source, size))) for size in BITMAP_SIZES]
    entries.append((PNG_SIZE, png_entry(render(source, PNG_SIZE))))
    directory = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    data = b""
    for size, payload in entries:
        stored = size if size < 256 else 0  # 0 stands for 256 in an icon directory
        directory += struct.pack("<BBBBHHII", stored, stored, 0, 0, 1, 32, len(payload), offset)
        offset += len(payload)
        data += payload
    return directory + data


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "folder.ico"
    source = json.loads((HERE / "folder-icon.json").read_text(encoding="utf-8"))
    output.write_bytes(icon_file(source))
    print(f"{output}: {output.stat().st_size} bytes")


if __name__ == "__main__":
    main()
