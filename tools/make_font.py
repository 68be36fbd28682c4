#!/usr/bin/python3
# Builds the list font GeosansLight.ttf from Debian's font packages, with a
# licence file for each font it draws on and one that explains them. Run
# from the repository root (make font does, after installing the packages):
#   tools/make_font.py [output folder, default .]
#
# Latin is Quicksand Light, untouched, so that Latin names look as they always
# did. Each other script is copied in from a font that has it, scaled to the
# same units per em, its hinting dropped (its instructions call functions of
# its own font); only code points Quicksand lacks are added. The same
# packages give the same file, byte for byte.
import os
import re
import sys
from copy import deepcopy

from fontTools.misc.roundTools import otRound
from fontTools.misc.timeTools import timestampFromString
from fontTools.ttLib import TTFont
from fontTools.ttLib.tables import ttProgram

FONT_NAME = "GeosansLight.ttf"
# The OFL reserves the names Quicksand, Comfortaa and Nanum for their own
# fonts, and Droid is a trademark, so the merged font has a name of its own.
FAMILY = "Klamor List"
POSTSCRIPT_NAME = "KlamorList-Light"
# A fixed modification date, so that a rebuild is identical to the last.
MODIFIED = "Mon Dec  7 00:00:00 2026"

FONTS = "/usr/share/fonts/truetype"
BASE = {
    "package": "fonts-quicksand",
    "file": FONTS + "/quicksand/Quicksand-Light.ttf",
    "licence": "GeosansLight-LICENSE-Quicksand.txt",
    "role": "its Latin letters (Vietnamese included), digits and punctuation",
}


def common_ideographs():
    """The CJK ideographs in everyday use in China, Japan, Taiwan and Hong
    Kong: those of GB 2312, of JIS X 0208 and of the first (frequent) level of
    Big5, read from Python's own codecs for those character sets."""
    found = set()

    def collect(codec, leads, trails):
        for lead in leads:
            for trail in trails:
                try:
                    text = bytes([lead, trail]).decode(codec)
                except UnicodeDecodeError:
                    continue
                if len(text) == 1 and 0x4E00 <= ord(text) <= 0x9FFF:
                    found.add(ord(text))

    high = range(0xA1, 0xFF)
    collect("gb2312", high, high)
    collect("euc_jp", high, high)
    # Big5 level one runs from A440 to C67E.
    big5_trails = list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF))
    collect("big5", range(0xA4, 0xC6), big5_trails)
    collect("big5", [0xC6], range(0x40, 0x7F))
    return sorted(found)


def span(first, last):
    return list(range(first, last + 1))


# Earlier sources win where two have the same code point. "match" says how
# a source is sized: by capital height, for letters that stand beside
# Quicksand's, or em for em, for scripts of their own.
SOURCES = [
    {
        "package": "fonts-comfortaa",
        "file": FONTS + "/comfortaa/Comfortaa-Light.ttf",
        "licence": "GeosansLight-LICENSE-Comfortaa.txt",
        "role": "Greek, Cyrillic, and the few Latin letters Quicksand lacks",
        "prefix": "gc.",
        "match": "capital",
        "code_points": span(0x0100, 0x024F) + span(0x0370, 0x03FF) + span(0x0400, 0x052F) + span(0x1E00, 0x1EFF),
    },
    {
        "package": "fonts-nanum",
        "file": FONTS + "/nanum/NanumGothic.ttf",
        "licence": "GeosansLight-LICENSE-Nanum.txt",
        "role": "Hangul syllables and compatibility jamo",
        "prefix": "ko.",
        "match": "em",
        "code_points": span(0x3130, 0x318F) + span(0xAC00, 0xD7A3),
    },
    {
        "package": "fonts-droid-fallback",
        "file": FONTS + "/droid/DroidSansFallbackFull.ttf",
        "licence": "GeosansLight-LICENSE-DroidSansFallback.txt",
        "role": "Hiragana, Katakana, CJK punctuation, full-width forms and "
        "the CJK ideographs of GB 2312, JIS X 0208 and Big5 level one",
        "prefix": "cjk.",
        "match": "em",
        "code_points": span(0x3000, 0x30FF) + span(0x31F0, 0x31FF) + common_ideographs() + span(0xFF00, 0xFFEF),
        "extra_licence": "/usr/share/common-licenses/Apache-2.0",
    },
]


def scale_for(base, source, match):
    em = base["head"].unitsPerEm / source["head"].unitsPerEm
    if match == "em":
        return em
    return base["OS/2"].sCapHeight / source["OS/2"].sCapHeight


def copy_glyph(source, name, prefix, scale, target_glyf, metrics, added):
    """Copies glyph name of source into target_glyf, with every glyph it is
    made of, scaled; returns its name in the target."""
    new_name = prefix + name
    if new_name in target_glyf.glyphs:
        return new_name
    glyph = deepcopy(source["glyf"][name])
    if glyph.isComposite():
        for component in glyph.components:
            component.glyphName = copy_glyph(source, component.glyphName, prefix, scale, target_glyf, metrics, added)
            component.x = otRound(component.x * scale)
            component.y = otRound(component.y * scale)
    elif glyph.numberOfContours > 0:
        glyph.coordinates.scale((scale, scale))
        glyph.coordinates.toInt()
    if hasattr(glyph, "program"):
        glyph.program = ttProgram.Program()
        glyph.program.fromBytecode(b"")
    target_glyf.glyphs[new_name] = glyph
    advance, _ = source["hmtx"][name]
    metrics[new_name] = otRound(advance * scale)
    added.append(new_name)
    return new_name


def merge(base, source, donor, order):
    cmap = base.getBestCmap()
    source_cmap = source.getBestCmap()
    glyf = base["glyf"]
    scale = scale_for(base, source, donor["match"])
    advances = {}
    added = []
    mapped = {}
    for code_point in donor["code_points"]:
        if code_point in cmap or code_point not in source_cmap:
            continue
        mapped[code_point] = copy_glyph(
            source, source_cmap[code_point], donor["prefix"], scale, glyf, advances, added
        )
    order.extend(added)
    glyf.glyphOrder = order
    base.setGlyphOrder(order)
    for name in added:
        glyph = glyf[name]
        glyph.recalcBounds(glyf)
        left = glyph.xMin if glyph.numberOfContours != 0 else 0
        base["hmtx"].metrics[name] = (advances[name], left)
    for table in base["cmap"].tables:
        if table.isUnicode():
            table.cmap.update(mapped)
    return len(mapped)


def rename(font, copyright_lines):
    name = font["name"]
    version = name.getDebugName(5)
    name.names = []
    texts = {
        0: " ".join(copyright_lines),
        1: FAMILY + " Light",
        2: "Regular",
        3: version.replace("Version ", "") + ";KLMR;" + POSTSCRIPT_NAME,
        4: FAMILY + " Light",
        5: version,
        6: POSTSCRIPT_NAME,
        13: "This Font Software is licensed under the SIL Open Font License, Version 1.1; "
        "the glyphs from Droid Sans Fallback are also under the Apache License, Version 2.0.",
        14: "https://openfontlicense.org",
    }
    for name_id, text in texts.items():
        name.setName(text, name_id, 3, 1, 0x409)


def copyright_stanza(package):
    """The copyright and licence of a font package's "Files: *" paragraph,
    from its Debian copyright file, as plain text."""
    with open("/usr/share/doc/%s/copyright" % package, encoding="utf-8") as file:
        paragraphs = file.read().split("\n\n")
    for paragraph in paragraphs:
        if re.search(r"^Files: \*$", paragraph, re.M):
            lines = []
            for line in paragraph.split("\n"):
                if line.startswith(" ."):
                    lines.append("")
                elif line.startswith(" "):
                    lines.append(line[1:])
                else:
                    lines.append(line)
            body = "\n".join(lines)
            # A licence given by name only is spelt out in a later paragraph.
            short = re.search(r"^License: (\S+)$", body, re.M)
            if short is not None and body.rstrip().endswith(short.group(0)):
                for other in paragraphs:
                    if other.startswith("License: " + short.group(1) + "\n"):
                        body += "\n" + "\n".join(l[1:] if l.startswith(" ") else l for l in other.split("\n")[1:])
            return body.rstrip() + "\n"
    raise SystemExit("make_font: no Files: * paragraph in %s's copyright" % package)


def write_licence(folder, donor, notice):
    text = "%s takes %s from %s (Debian package %s), %s.\n" % (
        FONT_NAME,
        donor["role"],
        os.path.basename(donor["file"]),
        donor["package"],
        "unchanged" if donor is BASE else "scaled, without hinting",
    )
    text += "The copyright notice in that font reads:\n\n  %s\n\n" % notice
    text += "Its copyright and licence, as Debian gives them, follow.\n\n" + copyright_stanza(donor["package"])
    if "extra_licence" in donor:
        with open(donor["extra_licence"], encoding="utf-8") as file:
            text += "\n" + file.read()
    with open(os.path.join(folder, donor["licence"]), "w", encoding="utf-8") as file:
        file.write(text)


def write_overview(folder):
    lines = [
        "%s (font name \"%s Light\") is built by tools/make_font.py from these fonts" % (FONT_NAME, FAMILY),
        "of Debian's font packages, each in a file of its own beside it:",
        "",
    ]
    for donor in [BASE] + SOURCES:
        lines.append("- %s: %s, from %s (%s)" % (donor["licence"], donor["role"], os.path.basename(donor["file"]), donor["package"]))
    lines += [
        "",
        "The glyphs added to Quicksand Light were scaled to its units per em and",
        "size, and their hinting instructions removed; the font was renamed, as the",
        "SIL Open Font License asks of a Modified Version whose original names are",
        "reserved. As such a Modified Version, the font as a whole is distributed",
        "under the SIL Open Font License, Version 1.1, whose text is in each of the",
        "OFL files above; the glyphs that come from Droid Sans Fallback remain under",
        "the Apache License, Version 2.0, whose text is in its file.",
    ]
    with open(os.path.join(folder, "GeosansLight-LICENSE.txt"), "w", encoding="utf-8") as file:
        file.write("\n".join(lines) + "\n")


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    base = TTFont(BASE["file"], recalcTimestamp=False)
    order = list(base.getGlyphOrder())
    copyrights = [base["name"].getDebugName(0)]
    for donor in SOURCES:
        source = TTFont(donor["file"], lazy=False)
        count = merge(base, source, donor, order)
        copyrights.append(source["name"].getDebugName(0))
        print("make_font: %d characters from %s" % (count, os.path.basename(donor["file"])))
    for donor, notice in zip([BASE] + SOURCES, copyrights):
        write_licence(folder, donor, notice)
    write_overview(folder)
    rename(base, copyrights)
    base["OS/2"].recalcUnicodeRanges(base)
    base["head"].modified = timestampFromString(MODIFIED)
    base.save(os.path.join(folder, FONT_NAME))


main()
